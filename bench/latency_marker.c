/*
 * latency_marker.c - marks each frame another client draws on the X screen with a frame
 * number in a corner, for the desktop benchmark's latency columns, and logs when it saw each
 * frame.
 *
 *   latency_marker X Y SECONDS
 * Maps an override-redirect window at (X,Y) on top of everything, draws number 0, prints
 * "ready" and waits for SIGUSR1. Then, for SECONDS (and one more), it watches the screen's
 * damage: when something outside its own window was drawn, it draws the next number right away
 * and prints "marker N NANOSECONDS" (CLOCK_MONOTONIC when the drawing was noticed). A marker
 * frame thus follows each frame of the workload and is usually grabbed with it.
 * The number is 12 cells of 4x4 pixels, its bits most significant first (white: 1), then the
 * same bits inverted; the console's latency probe reads it back.
 */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define BITS 12
#define CELL 4
#define WIDTH (2 * BITS * CELL)

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
    XFlush(dpy);
}

/* Takes the queued events; true when one reports a drawing outside the marker. */
static int others_drew(Display *dpy, int damage_event, int x, int y)
{
    int drew = 0;
    while (XPending(dpy) > 0) {
        XEvent e;
        XNextEvent(dpy, &e);
        if (e.type != damage_event + XDamageNotify)
            continue;
        XRectangle a = ((XDamageNotifyEvent *)&e)->area;
        if (a.x < x || a.y < y || a.x + a.width > x + WIDTH || a.y + a.height > y + CELL)
            drew = 1;
    }
    return drew;
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: latency_marker X Y SECONDS\n");
        return 2;
    }
    int x = atoi(argv[1]), y = atoi(argv[2]), seconds = atoi(argv[3]);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigprocmask(SIG_BLOCK, &set, NULL);
    Display *dpy = XOpenDisplay(NULL);
    int damage_event = 0, damage_error = 0;
    if (!dpy || !XDamageQueryExtension(dpy, &damage_event, &damage_error)) {
        fprintf(stderr, "latency_marker: no display with the damage extension\n");
        return 1;
    }
    int s = DefaultScreen(dpy);
    Window root = RootWindow(dpy, s);
    XSetWindowAttributes a;
    a.override_redirect = True;
    a.background_pixel = BlackPixel(dpy, s);
    Window win = XCreateWindow(dpy, root, x, y, WIDTH, CELL, 0, CopyFromParent, InputOutput,
                               CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
    GC gc = XCreateGC(dpy, win, 0, NULL);
    XMapRaised(dpy, win);
    draw(dpy, win, gc, 0);
    Damage damage = XDamageCreate(dpy, root, XDamageReportRawRectangles);
    XSync(dpy, False);
    printf("ready\n");
    fflush(stdout);
    int sig;
    sigwait(&set, &sig);
    others_drew(dpy, damage_event, x, y); /* whatever came before the start */
    long long end = now_ns() + (seconds + 1) * 1000000000LL;
    int n = 0;
    for (long long t = now_ns(); t < end; t = now_ns()) {
        struct pollfd p = {ConnectionNumber(dpy), POLLIN, 0};
        if (XPending(dpy) == 0)
            poll(&p, 1, (int)((end - t) / 1000000 + 1));
        long long seen = now_ns();
        if (!others_drew(dpy, damage_event, x, y))
            continue;
        n = (n + 1) & ((1 << BITS) - 1);
        draw(dpy, win, gc, n);
        printf("marker %d %lld\n", n, seen);
    }
    fflush(stdout);
    XDamageDestroy(dpy, damage);
    XCloseDisplay(dpy);
    return 0;
}
