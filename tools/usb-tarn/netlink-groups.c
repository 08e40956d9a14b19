/* Preloaded ahead of umockdev's library by `usb-tarn run` (usb-tarn serve builds it).
 *
 * umockdev stands a Unix socket "event<fd>" in its testbed for every netlink uevent socket and
 * sends each uevent to all of them, so a monitor of the kernel's own uevents would hear just
 * what a monitor of udev's hears. A real bus keeps the two apart: the kernel's uevents come
 * first, before udev has processed the device, and only udev's carry what udev added. This
 * renames each bound socket after the group it joined, "kernel-event<fd>" or "udev-event<fd>",
 * and the emulated bus sends each kind of uevent to its own group alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <limits.h>
#include <linux/netlink.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

/* libudev's multicast group for the kernel's uevents; a udev monitor asks for group 2, or for
 * none at all when it finds no udev daemon on the host (the testbed's udev is the bus). */
enum { KERNEL_GROUP = 1 };

int bind(int fd, const struct sockaddr *address, socklen_t length) {
    static int (*next)(int, const struct sockaddr *, socklen_t);
    if (next == NULL) {
        *(void **)&next = dlsym(RTLD_NEXT, "bind");
        if (next == NULL) {
            return -1;
        }
    }
    const int result = next(fd, address, length);
    const char *testbed = getenv("UMOCKDEV_DIR");
    if (result != 0 || testbed == NULL || address == NULL ||
        length < (socklen_t)sizeof(struct sockaddr_nl) || address->sa_family != AF_NETLINK) {
        return result;
    }
    const struct sockaddr_nl *netlink = (const struct sockaddr_nl *)address;
    const char *group = netlink->nl_groups == KERNEL_GROUP ? "kernel" : "udev";
    char from[PATH_MAX];
    char to[PATH_MAX];
    if (snprintf(from, sizeof from, "%s/event%d", testbed, fd) < (int)sizeof from &&
        snprintf(to, sizeof to, "%s/%s-event%d", testbed, group, fd) < (int)sizeof to) {
        /* A socket left by a closed descriptor of the same number is replaced. */
        rename(from, to);
    }
    return result;
}
