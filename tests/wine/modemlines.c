// LD_PRELOAD shim for running the Windows build under Wine against the
// simulated controller: its pseudo-terminal stands in for the adapter.
//
// Wine asks a serial line for its modem status (TIOCMGET) on every wait for
// received bytes (WaitCommEvent), and takes a failure as a cancelled wait,
// which is how Windows reports an unplugged adapter. A pseudo-terminal has no
// modem lines and fails that request, so without this shim every wait ends at
// once as "aborted" and no reply is ever delivered on time. Here a
// pseudo-terminal answers as a serial line whose modem lines are all up.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>

int ioctl(int fd, unsigned long request, ...)
{
    static int (*realIoctl)(int, unsigned long, ...);
    if (!realIoctl)
        realIoctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);

    const int result = realIoctl(fd, request, argument);
    if (result == -1 && errno == ENOTTY && request == TIOCMGET && argument) {
        *(int *)argument = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
        return 0;
    }
    return result;
}
