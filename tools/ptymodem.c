/* ptymodem.c: LD_PRELOAD shim for the Wine test runs of the serial port.
 *
 * A Linux pty slave has no modem lines: the modem-control ioctls (TIOCMGET, TIOCMSET, TIOCMBIS,
 * TIOCMBIC) fail on it, so Wine fails EscapeCommFunction(SETDTR/CLRDTR/SETRTS/CLRRTS) and
 * GetCommModemStatus with ERROR_NOT_SUPPORTED and ends every pending WaitCommEvent with
 * ERROR_OPERATION_ABORTED. This shim answers those ioctls for pty slaves only (character devices
 * with major 136..143) and leaves every other call alone.
 *
 * The lines of /dev/pts/N live in the file "pts-N" of a folder, as decimal TIOCM_* bits, so that
 * the pty peer on the other side can read DTR and RTS and may set CTS, DSR, CD and RI. The folder
 * is $PTYMODEM_DIR, or else "ptymodem-lines" beside this library. A missing file means DSR, CTS
 * and CD on, DTR and RTS off.
 *
 * Built natively with the host compiler by tests/CMakeLists.txt:
 *   gcc -O2 -shared -fPIC -o ptymodem.so ptymodem.c -ldl */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <libgen.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#define DEFAULT_BITS (TIOCM_DSR | TIOCM_CTS | TIOCM_CAR)

static int (*real_ioctl)(int, unsigned long, ...);

static int pts_index(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
    unsigned maj = major(st.st_rdev), min = minor(st.st_rdev);
    return (maj >= 136 && maj <= 143) ? (int)((maj - 136) * 256 + min) : -1;
}

static void lines_dir(char *out, size_t size) {
    const char *dir = getenv("PTYMODEM_DIR");
    if (dir && *dir) {
        snprintf(out, size, "%s", dir);
        return;
    }
    Dl_info info;
    char self[512] = ".";
    if (dladdr((void *)&lines_dir, &info) && info.dli_fname) snprintf(self, sizeof self, "%s", info.dli_fname);
    snprintf(out, size, "%s/ptymodem-lines", dirname(self));
}

static void line_file(int pts, char *out, size_t size) {
    char dir[600];
    lines_dir(dir, sizeof dir);
    snprintf(out, size, "%s/pts-%d", dir, pts);
}

static int load(int pts) {
    char path[700];
    line_file(pts, path, sizeof path);
    int bits = DEFAULT_BITS;
    FILE *fp = fopen(path, "r");
    if (fp) {
        if (fscanf(fp, "%d", &bits) != 1) bits = DEFAULT_BITS;
        fclose(fp);
    }
    return bits;
}

static void store(int pts, int bits) {
    char path[700], tmp[760];
    line_file(pts, path, sizeof path);
    snprintf(tmp, sizeof tmp, "%s.%d", path, (int)getpid());
    FILE *fp = fopen(tmp, "w");
    if (!fp) return;
    fprintf(fp, "%d\n", bits);
    fclose(fp);
    rename(tmp, path); /* the peer never reads half a file */
}

int ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (!real_ioctl) real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    if (req == TIOCMGET || req == TIOCMSET || req == TIOCMBIS || req == TIOCMBIC) {
        int pts = pts_index(fd);
        if (pts >= 0) {
            int *bits = (int *)arg, v = load(pts);
            const int out = TIOCM_DTR | TIOCM_RTS;
            if (req == TIOCMGET) {
                *bits = v;
                return 0;
            }
            if (req == TIOCMSET) v = (v & ~out) | (*bits & out);
            if (req == TIOCMBIS) v |= *bits & out;
            if (req == TIOCMBIC) v &= ~(*bits & out);
            store(pts, v);
            return 0;
        }
    }
    return real_ioctl(fd, req, arg);
}
