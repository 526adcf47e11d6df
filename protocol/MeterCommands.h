// The five meter operations: the request each one sends and what its reply
// means, as result texts the window only has to route to its controls and
// its log. Pure functions; nothing here knows about controls or transports.
#pragma once

#include <optional>
#include <string>

enum class Operation { ReadAddress, ReadReading, OpenValve, CloseValve, ReadValveState };

// The tab that sent the request; some texts and checks differ between them.
enum class Tab { Serial, Network };

// The four arguments of BuildFrame for one request.
struct RequestFields {
    std::string address;
    std::string control;
    std::string length;
    std::string data;
};

// `address` is the serial tab's address field as typed or the network tab's
// address line; `password` and `level` matter only to the valve writes.
RequestFields MakeRequest(Operation operation, Tab tab, const std::string& address,
                          const std::string& password = "", const std::string& level = "");
// MakeRequest followed by BuildFrame: the frame text, or empty after a
// failure that BuildFrame has already logged.
std::string BuildRequest(Operation operation, Tab tab, const std::string& address,
                         const std::string& password = "", const std::string& level = "");

enum class OutcomeKind {
    ChecksumError,  // logText: the checksum error text
    NoAnswer,       // logText: the no-answer text of this operation and tab
    Address,        // serial: labelText for the address field; network: resultLine
    Reading,        // resultLine, logText, labelText (serial); status texts with length "08"
    ValveSuccess,   // resultLine, logText
    ValveRefused,   // resultLine, logText; statusReport holds the failure code's report
    ValveState,     // serial: labelText; network: resultLine (no log entry)
    Nothing,        // a valve reply that is neither success nor refusal: show nothing
};

// How one meter's request ended, as the results record names it.
enum class ResultKind {
    Ok,
    Refused,        // a valve write the meter refused, with its failure code
    NoAnswer,       // nothing usable within the wait, or the meter did not know the request
    ChecksumError,  // a reply that failed the check
    EmptyAddress,   // nothing to send to
    LinkClosed,     // the gateway connection was found closed
    Stopped,        // the operator stopped the batch while this address was served
    Error,          // a send or decoding error, a refused exchange, an unexpected reply
};

// One meter's result: the result list's lines and the results record's row
// are both made from it (ResultRecord.h).
struct MeterResult {
    Tab tab = Tab::Network;
    Operation operation = Operation::ReadReading;
    // As the request used it; for read address, the address read.
    std::string address;
    ResultKind kind = ResultKind::Error;
    // The wait ended without a reply: the network tab writes its read-failure line.
    bool waitFailed = false;
    std::optional<int> readingHundredths;  // tons x 100
    std::optional<int> status;             // the reading's status byte
    std::optional<bool> valveClosed;
    std::optional<int> failureCode;  // a refused valve write's code
    std::string reply;               // hex text as received; empty when none
};

// What one reply means. Every present text is shown as it is; an absent one
// is not shown at all (an empty resultLine is still a line to append). The
// log titles are the window's choice.
struct ReplyOutcome {
    OutcomeKind kind = OutcomeKind::Nothing;
    std::optional<std::string> logText;
    std::optional<std::string> resultLine;
    // The serial tab's own control: edtAddr, lblDATA or lblValveStateCOM.
    std::optional<std::string> labelText;
    // Read reading with length "08": a second result line and log entry,
    // shown after the reading texts and the label.
    std::optional<std::string> statusLine;
    std::optional<std::string> statusLogText;

    // Decoded values behind the texts.
    std::string controlCode;   // "" when the reply has no frame start
    std::string length;        // as text, e.g. "08"
    std::string address;       // read address: the meter address
    std::string digits;        // read reading: the eight decoded digits
    std::string tons;          // read reading, e.g. "12.34"
    std::string statusReport;  // reading status, or a refused valve write's failure code
    bool valveClosed = false;  // read valve state

    // The same outcome as a record; resultLine and statusLine are made from it.
    MeterResult result;
};

// The checksum step of a reply, as this operation and tab require it. Returns
// the checksum error text when the check fails, nothing when it passes or is
// not required. computed/received are VerifyChecksum's outputs: pass fresh
// empty texts, or keep them over a batch so a frameless reply repeats the
// last ones. May throw EConvertError for a non-hex reply.
//
// A non-empty reply is always checked, also for read reading on the serial
// tab and read address on the network tab: a reply corrupted on the line must
// not be shown as a valid reading or address.
std::optional<std::string> CheckReplyChecksum(Operation operation, Tab tab,
                                              const std::string& reply, std::string& computed,
                                              std::string& received);

// Decodes a reply to the request sent to `address` (the address as typed or
// the address line, used in front of result lines). A reply that fails
// CheckReplyChecksum is never decoded: the outcome is then ChecksumError with
// fresh checksum texts, so callers may log the Rx entry between the two
// steps. Throws EConvertError for a reading that is not decimal or a status,
// failure-code or valve-state byte that is not hex or missing.
ReplyOutcome DecodeReply(Operation operation, Tab tab, const std::string& reply,
                         const std::string& address);

// --- Texts shared by the handlers -------------------------------------------

inline constexpr char kAllNinesAddress[] = "999999999999";
inline constexpr char kResultSeparator[] = " -----> ";

// address + " -----> " + text: one line of the result list.
std::string ResultLine(const std::string& address, const std::string& text);
// "数据校验错误：reply [computed-received]".
std::string ChecksumErrorText(const std::string& reply, const std::string& computed,
                              const std::string& received);
// The bit string of the low byte, bit 0 first, and one line for each of bits
// 0, 1, 2, 3, 6 and 7, each after a CR. The serial read reading uses the
// variant in which the valve-normal, signal and battery lines end in "；".
std::string StatusReport(int value, bool serialVariant);
// value / 100 in the shortest form: 1100 -> "11", 1234 -> "12.34", 5 -> "0.05".
std::string FormatTons(int value);
// value / 100 with exactly two decimals: 1100 -> "11.00".
std::string FormatTonsTwoDecimals(int value);
// Surrounding blanks and control characters removed.
std::string TrimBlanks(const std::string& text);

// --- Canned replies of the two hidden decoding buttons ----------------------

inline constexpr char kCannedReadingReply[] = "FEFEFE6805913130020068810843C33344333333339B16";
inline constexpr char kCannedValveStateReply[] = "FEFEFE682674151002006881036FF3B32A16";

// The network tab's hidden button: a reading reply decoded without an address
// in front of the arrow, tons with two decimals, and a status line that reads
// as a failure code unless all eight status bits are clear. Check it first
// with CheckReplyChecksum(Operation::ReadReading, Tab::Network, ...). The
// serial button's valve-state reply needs nothing special:
// DecodeReply(Operation::ReadValveState, Tab::Serial, kCannedValveStateReply, "").
ReplyOutcome DecodeCannedReading(const std::string& reply);
