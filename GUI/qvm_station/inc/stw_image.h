// The embedded image, built on a thread of its own while the window is
// made: assembling it fills a 16 MB block (about 20 ms), which need not
// hold back the window.
//
// Threads: start(), wait() and the destructor run on the user-interface
// thread. The builder thread writes hex_ and built_ and then ends; they are
// read only after it has been joined.
#pragma once

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

    // Starts the build (on this thread when no thread can be started).
    void start();
    // The result; joins the builder on the first call.
    const StwBuiltImage &wait();

private:
    void build();

    SHEX_HEX hex_{};
    StwBuiltImage built_;
    std::thread builder_;
};
