// A pty has no modem lines: TIOCMBIS, TIOCMBIC, TIOCMSET and TIOCMGET fail there
// with ENOTTY, and a host that insists on them (stm32flash -i) gives up. Preloaded
// (LD_PRELOAD) into a host of the bench, this library lets those calls succeed
// and keeps the bits they set, as an adapter with DTR and RTS would; every other
// ioctl goes to the C library. The bench preloads it into both hosts it compares.
#include <dlfcn.h>

#include <cstdarg>
#include <sys/ioctl.h>

namespace {
int Bits = 0;  // TIOCM_DTR, TIOCM_RTS as last set
}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto real = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    int *bits = static_cast<int *>(arg);
    switch (request) {
    case TIOCMBIS:
        Bits |= *bits;
        return 0;
    case TIOCMBIC:
        Bits &= ~*bits;
        return 0;
    case TIOCMSET:
        Bits = *bits;
        return 0;
    case TIOCMGET:
        *bits = Bits;
        return 0;
    default:
        return real(fd, request, arg);
    }
}
