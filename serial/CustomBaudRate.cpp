#include "CustomBaudRate.h"

// Only the kernel's definitions here: <termios.h> must not be included.
#include <asm/termbits.h>
#include <sys/ioctl.h>

bool SetCustomBaudRate(int fd, uint32_t baudRate) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baudRate;
    t.c_ospeed = baudRate;
    return ioctl(fd, TCSETS2, &t) == 0;
}

bool GetBaudRate(int fd, uint32_t& inputRate, uint32_t& outputRate) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    inputRate = t.c_ispeed;
    outputRate = t.c_ospeed;
    return true;
}
