#pragma once

#include <csetjmp>
#include <string>

// The process's one connection to the X server, shared by FLTK and the
// window front end.
//
// Opening: FLTK ends the process when it cannot open its display, and
// XOpenDisplay() itself can block for ever on a server that accepts the
// connection but never answers. So the display is first tried in a forked
// child (at most a few seconds, then the child is killed), and only then
// opened here and handed to FLTK with fl_open_display(Display*).
//
// Losing the server: Xlib treats an I/O error on the connection as fatal
// and exits after calling the I/O error handler; and once the error has
// happened, any further request on that Display may crash (its request
// buffer is left broken) or dead-lock (its lock may still be held). The
// download must go on without the window, so:
//   - every call into FLTK/Xlib is made inside guarded(), which sets a
//     jump point (setjmp);
//   - the I/O error handler, instead of returning to Xlib, longjmp()s to the
//     innermost jump point, so no further Xlib code runs on that Display,
//     and the connection is marked lost;
//   - from then on nothing touches FLTK or Xlib again: guarded() runs
//     nothing, the event loop goes on with its own poll() loop, and the FLTK
//     widgets are leaked instead of destroyed (destroying them would talk to
//     the server).
// The frames skipped by the jump are Xlib's and FLTK's own, never ours: our
// code between the toolkit and a jump point (callbacks the toolkit calls,
// such as timers and button actions) runs its own guards, and when it
// returns into the toolkit after a loss it jumps on to the outer point
// itself (leaveToolkitIfLost) before the toolkit can touch the dead Display.
// Where libX11 has XSetIOErrorExitHandler (1.7 and later), an error outside
// any guard (which our code does not make) is also survived: the exit
// handler marks the connection lost and returns instead of exiting.
class XConnection {
public:
    static XConnection& instance();

    // Opens the display named by $DISPLAY for FLTK, or checks that the one
    // opened earlier in this process is still usable and is the same one.
    // False with a one-line reason when there is no usable display.
    bool open(std::string& whyNot);

    bool isOpen() const { return opened_ && !lost_; }

    // The display's resource manager string (the X resources the desktop
    // set, "Xft.dpi:\t192" among them); "" when there is none.
    std::string resources();
    bool lost() const { return lost_; }

    // Runs f (which calls FLTK or Xlib) unless the connection is lost. False
    // when it is lost, before or during f; then f may have stopped half-way.
    // f must not own objects with destructors across its toolkit calls.
    template <typename F>
    bool guarded(F&& f)
    {
        if (!isOpen())
            return false;
        std::jmp_buf point;
        std::jmp_buf* const outer = current_;
        current_ = &point;
        if (setjmp(point) == 0) {
            f();
            current_ = outer;
            return !lost_;
        }
        current_ = outer;
        return false;
    }

    // For our callbacks that the toolkit calls (from inside a guarded
    // Fl::wait): when the connection was lost while they ran, jumps out of
    // the toolkit to the guard around it. Call it last, with no object with
    // a destructor alive in the calling function.
    void leaveToolkitIfLost();

    // Called by the X I/O error handler. For our display: marks it lost,
    // and jumps to the innermost guard when there is one; returns otherwise.
    void onIOError(void* display);

private:
    XConnection() = default;
    // Makes the display just opened FLTK's, with our error handlers on it.
    bool adopt(void* display, const std::string& name, std::string& whyNot);
    void markLost();

    bool opened_ = false;
    bool lost_ = false;
    void* display_ = nullptr;
    std::string displayName_;
    std::jmp_buf* current_ = nullptr;
};
