// The embedded image, built on a thread of its own once the window shows:
// assembling it fills a 16 MB block (about 20 ms), which need not hold back
// the window or its first paint.
//
// Threads: start(), wait() and the destructor run on the user-interface
// thread. The builder thread writes hex_ and built_, calls `done` and ends;
// they are read only after it has been joined.
#pragma once

#include <functional>
#include <thread>

#include "prom.h"
#include "stn_unit.h"

struct StwBuiltImage {
    StnImage image;   // image.edit points into the builder; valid while it lives
    bool ok = false;  // false: the embedded image is unusable
};

class StwImageBuild {
public:
    StwImageBuild() = default;
    StwImageBuild(const StwImageBuild &) = delete;
    StwImageBuild &operator=(const StwImageBuild &) = delete;
    // Joins a builder still running and releases the image.
    ~StwImageBuild();

    // Starts the build (on this thread when no thread can be started);
    // done runs on the thread that built it, after the build.
    void start(std::function<void()> done);
    // The result; joins the builder on the first call (builds it here
    // first when start() was never called).
    const StwBuiltImage &wait();

private:
    void build(const std::function<void()> &done);

    SHEX_HEX hex_{};
    StwBuiltImage built_;
    std::thread builder_;
    bool started_ = false;
};
