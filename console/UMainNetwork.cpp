// Click handlers of the network tab.
#include "UMain.h"

void TForm1::btnOpenTCPClick() {
    // Connecting to and disconnecting from the gateway arrives with the TCP link.
}

void TForm1::btnReadAddrTCPClick() {
    // Read address through the gateway arrives with the network-tab operations.
}

void TForm1::btnGetDataTCPClick() {
    // The read-reading batch arrives with the network-tab operations.
}

void TForm1::btnGetValveStateTCPClick() {
    // The read-valve-state batch arrives with the network-tab operations.
}

void TForm1::btnOpenValveTCPClick() {
    // The open-valve batch arrives with the network-tab operations.
}

void TForm1::btnCloseValveTCPClick() {
    // The close-valve batch arrives with the network-tab operations.
}

void TForm1::Button1Click() {
    // The hidden canned-reply decoding button arrives with the reply decoding work.
}
