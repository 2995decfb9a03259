/* The overlay benchmark's eye on the client's screen: for each line "BUTTON AX AY BX BY" on stdin
 * it presses and releases that pointer button through XTest, then reads the two points of the
 * root window in a tight loop (one strip through both per XShmGetImage, both on one row) and
 * prints, in ms from the button's release, when each first changed colour: "A B", -1 for a point
 * that did not change within 3 s. A is a point of the desktop picture, B one of the player.
 *
 *   overlay-skew-probe DISPLAY
 */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>

static double nowMs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

/* A change is more than codec noise: some channel moves by more than 40. */
static int differs(unsigned long a, unsigned long b)
{
    for (int shift = 0; shift < 24; shift += 8) {
        if (labs((long)((a >> shift) & 0xff) - (long)((b >> shift) & 0xff)) > 40)
            return 1;
    }
    return 0;
}

int main(int argc, char* argv[])
{
    Display* display = XOpenDisplay(argc > 1 ? argv[1] : NULL);
    if (!display || !XShmQueryExtension(display)) {
        fprintf(stderr, "overlay-skew-probe: no display with MIT-SHM\n");
        return 2;
    }
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    const int width = DisplayWidth(display, screen);
    XShmSegmentInfo shm;
    XImage* strip = XShmCreateImage(display, DefaultVisual(display, screen),
        DefaultDepth(display, screen), ZPixmap, NULL, &shm, width, 1);
    shm.shmid = shmget(IPC_PRIVATE, strip->bytes_per_line, IPC_CREAT | 0600);
    shm.shmaddr = strip->data = shmat(shm.shmid, NULL, 0);
    shm.readOnly = False;
    XShmAttach(display, &shm);
    XSync(display, False);
    /* Marked for removal now, so that it goes with the process however that ends. */
    shmctl(shm.shmid, IPC_RMID, NULL);

    int button, ax, ay, bx, by;
    while (scanf("%d %d %d %d %d", &button, &ax, &ay, &bx, &by) == 5) {
        const int left = ax < bx ? ax : bx;
        const int right = ax < bx ? bx : ax;
        /* Only the strip's own columns are read, from the left end of the image. */
        strip->width = right - left + 1;
        XShmGetImage(display, root, strip, left, ay, AllPlanes);
        const unsigned long a0 = XGetPixel(strip, ax - left, 0);
        const unsigned long b0 = XGetPixel(strip, bx - left, 0);
        XTestFakeButtonEvent(display, (unsigned)button, True, CurrentTime);
        XTestFakeButtonEvent(display, (unsigned)button, False, CurrentTime);
        XSync(display, False);
        const double start = nowMs();
        double a = -1, b = -1;
        for (double now = start; (a < 0 || b < 0) && now - start < 3000; now = nowMs()) {
            XShmGetImage(display, root, strip, left, ay, AllPlanes);
            if (a < 0 && differs(XGetPixel(strip, ax - left, 0), a0))
                a = nowMs() - start;
            if (b < 0 && differs(XGetPixel(strip, bx - left, 0), b0))
                b = nowMs() - start;
        }
        printf("%.2f %.2f\n", a, b);
        fflush(stdout);
    }
    XShmDetach(display, &shm);
    shmdt(shm.shmaddr);
    XCloseDisplay(display);
    return 0;
}
