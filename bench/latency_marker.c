/*
 * latency_marker.c - draws a frame number into a corner of the X screen for the desktop
 * benchmark's latency columns, and logs when each number was drawn.
 *
 *   latency_marker X Y RATE SECONDS
 * Maps an override-redirect window at (X,Y) on top of everything, draws number 0, prints
 * "ready", waits for SIGUSR1, then draws numbers 1, 2, ... RATE times a second for SECONDS on
 * an absolute CLOCK_MONOTONIC schedule. After each drawing (XSync) it prints
 * "marker N NANOSECONDS". The number is 12 cells of 4x4 pixels, its bits most significant first
 * (white: 1), then the same bits inverted; the console's latency probe reads it back.
 */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define BITS 12
#define CELL 4

static long long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void draw(Display *dpy, Window win, GC gc, int value)
{
    int s = DefaultScreen(dpy);
    for (int i = 0; i < 2 * BITS; i++) {
        int bit = i < BITS ? (value >> (BITS - 1 - i)) & 1 : !((value >> (2 * BITS - 1 - i)) & 1);
        XSetForeground(dpy, gc, bit ? WhitePixel(dpy, s) : BlackPixel(dpy, s));
        XFillRectangle(dpy, win, gc, i * CELL, 0, CELL, CELL);
    }
    XSync(dpy, False);
}

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: latency_marker X Y RATE SECONDS\n");
        return 2;
    }
    int x = atoi(argv[1]), y = atoi(argv[2]), rate = atoi(argv[3]), seconds = atoi(argv[4]);
    if (rate <= 0 || seconds < 0) {
        fprintf(stderr, "latency_marker: RATE must be positive\n");
        return 2;
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigprocmask(SIG_BLOCK, &set, NULL);
    Display *dpy = XOpenDisplay(NULL);
    if (!dpy) {
        fprintf(stderr, "latency_marker: cannot open the display\n");
        return 1;
    }
    int s = DefaultScreen(dpy);
    XSetWindowAttributes a;
    a.override_redirect = True;
    a.background_pixel = BlackPixel(dpy, s);
    Window win = XCreateWindow(dpy, RootWindow(dpy, s), x, y, 2 * BITS * CELL, CELL, 0,
                               CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWBackPixel, &a);
    GC gc = XCreateGC(dpy, win, 0, NULL);
    XMapRaised(dpy, win);
    draw(dpy, win, gc, 0);
    printf("ready\n");
    fflush(stdout);
    int sig;
    sigwait(&set, &sig);
    long long start = now_ns(), period = 1000000000LL / rate;
    for (int n = 1; n <= rate * seconds; n++) {
        long long due = start + n * period;
        struct timespec t = {due / 1000000000LL, due % 1000000000LL};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL);
        draw(dpy, win, gc, n & ((1 << BITS) - 1));
        printf("marker %d %lld\n", n & ((1 << BITS) - 1), now_ns());
    }
    fflush(stdout);
    XCloseDisplay(dpy);
    return 0;
}
