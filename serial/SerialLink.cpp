#include "SerialLink.h"

TComm* CommPort = nullptr;
TMYOBJ* ReceiveSink = nullptr;
bool PortOpen = false;
bool PortOpening = false;
bool ExchangeBusy = false;
bool ReplyArrived = false;
std::string ReplyText;
uint32_t LastActivityTick = 0;
int32_t ReplyTimeout = 0;
