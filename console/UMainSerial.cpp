// Click handlers of the serial tab.
#include "UMain.h"

void TForm1::btnOpenCOMClick() {
    // Opening and closing the port arrives with the serial-tab operations.
}

void TForm1::btnReadAddrCOMClick() {
    // Read address over the serial line arrives with the serial-tab operations.
}

void TForm1::btnOpenValveCOMClick() {
    // Open valve over the serial line arrives with the serial-tab operations.
}

void TForm1::btnCloseValveCOMClick() {
    // Close valve over the serial line arrives with the serial-tab operations.
}

void TForm1::btnGetValveStateCOMClick() {
    // Read valve state over the serial line arrives with the serial-tab operations.
}

void TForm1::btnGetDataCOMClick() {
    // Read reading over the serial line arrives with the serial-tab operations.
}

void TForm1::Button2Click() {
    // The hidden canned-reply decoding button arrives with the reply decoding work.
}
