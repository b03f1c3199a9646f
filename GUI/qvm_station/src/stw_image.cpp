#include "stw_image.h"

#include <system_error>

#include "com_type.h"
#include "stn_sha256.h"

StwImageBuild::~StwImageBuild() {
    if (builder_.joinable()) builder_.join();
    CLS_prom::prom_free_mem(&hex_, CLS_prom::FREE_ALL);
}

void StwImageBuild::start(std::function<void()> done) {
    if (started_) return;
    started_ = true;
    try {
        builder_ = std::thread([this, done] { build(done); });
    } catch (const std::system_error &) {
        build(done);
    }
}

const StwBuiltImage &StwImageBuild::wait() {
    if (!started_) {
        started_ = true;
        build(nullptr);
    }
    if (builder_.joinable()) builder_.join();
    return built_;
}

void StwImageBuild::build(const std::function<void()> &done) {
    unsigned long version = kNoVersion, mcu = 0;
    char product[CLS_prom::kProductLen] = {};
    if (CLS_prom::prom_read(&hex_, &version, &mcu, product) == 1 && version != kNoVersion) {
        built_.image.edit = &hex_.edit;
        built_.image.version = static_cast<std::uint32_t>(version);
        built_.image.sha256 = stn_sha256_hex(hex_.edit.data, hex_.edit.len);
        built_.ok = true;
    }
    if (done) done();
}
