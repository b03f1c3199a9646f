#include "stn_unit.h"

#include <windows.h>

#include <chrono>
#include <cstdio>

#include "stn_text.h"
#include "cmc.h"
#include "cmc_snd.h"
#include "cmc_upd.h"

namespace {

// One device file of our own, closed in one place.
class UnitFile {
public:
    explicit UnitFile(unsigned index) {
        entry_ = SCMC_OPENTBL{};
        entry_.thd_no = index + 1;
        entry_.status = kCmcEntryStatus;
        entry_.open_hdl = CLS_cmc_snd::cmc_create_file(index);
    }
    ~UnitFile() { CLS_cmc_snd::cmc_close_file(&entry_.open_hdl); }
    UnitFile(const UnitFile &) = delete;
    UnitFile &operator=(const UnitFile &) = delete;

    bool open() const { return entry_.open_hdl != INVALID_HANDLE_VALUE; }
    SCMC_OPENTBL *entry() { return &entry_; }

private:
    SCMC_OPENTBL entry_;
};

// What went wrong with a step: "got no valid answer from the device (...)" and its kin.
std::string exchange_words(unsigned short r, std::uint32_t end_code) {
    char buf[64];
    switch (r) {
    case kCmcNoMemory:
        return "could not be sent (out of memory)";
    case kCmcNotOpen:
        return "could not be sent (device not open)";
    case kCmcDeviceError:
        std::snprintf(buf, sizeof(buf), "refused by the device (error 0x%04X)",
                      static_cast<unsigned>(end_code));
        return buf;
    default:
        return "got no valid answer from the device (unplugged, or a transfer or framing failure)";
    }
}

std::string step_words(const SCMC_UPD_JOB &job) {
    char buf[32];
    switch (job.fail_step) {
    case kCmcStepImage:
        return "image";
    case kCmcStepBegin:
        return "begin";
    case kCmcStepBlock:
        std::snprintf(buf, sizeof(buf), "block at 0x%04X", static_cast<unsigned>(job.fail_addr));
        return buf;
    case kCmcStepEnd:
        return "end";
    default:
        return "update";
    }
}

bool read_version(SCMC_OPENTBL *entry, StnDevice *d, unsigned short *r) {
    SQVM_CMD_VER info{};
    unsigned long boot = 0;
    *r = CLS_cmc::cmc_cmd_ver_get(entry, &info, &boot);
    if (*r != kCmcOk) return false;
    d->serial = info.serial_no;
    d->firm_version = info.firm_version;
    d->mcu_version = info.mcu_version;
    d->boot_version = static_cast<std::uint32_t>(boot);
    return true;
}

void set_phase(StnProgress *p, int phase) {
    if (p != nullptr) p->phase.store(phase);
}

void on_progress(unsigned long dev_no, unsigned long percent, void *obj) {
    auto *p = static_cast<StnProgress *>(obj);
    if (p != nullptr && dev_no == 0) p->percent.store(static_cast<int>(percent));
}

}  // namespace

bool stn_device_present(unsigned index) {
    UnitFile f(index);
    return f.open();
}

bool stn_read_device(unsigned index, StnDevice *out, std::string *why) {
    UnitFile f(index);
    *out = StnDevice{};
    out->index = index;
    if (!f.open()) {
        *why = "cannot be opened";
        return false;
    }
    unsigned short r = kCmcOk;
    if (!read_version(f.entry(), out, &r)) {
        *why = "version read: " + exchange_words(r, f.entry()->end_code);
        return false;
    }
    return true;
}

StnUnitResult stn_update_unit(unsigned index, const StnImage &image, bool force,
                              StnProgress *progress) {
    const auto start = std::chrono::steady_clock::now();
    StnUnitResult res;
    res.device.index = index;
    res.outcome = StnOutcome::kFailed;
    set_phase(progress, kStnPhaseChecking);
    {
        UnitFile f(index);
        unsigned short r = kCmcOk;
        if (!f.open()) {
            res.detail = kStnDetailUnverified;
            res.what = "cannot be opened (unplugged?)";
        } else if (!read_version(f.entry(), &res.device, &r)) {
            f.entry()->end_stat = r;
            unsigned long detail = 0;
            CLS_cmc::cmc_endstat_chk(&detail, f.entry());
            res.detail = static_cast<std::uint32_t>(detail);
            res.what = "version read: " + exchange_words(r, f.entry()->end_code);
        } else {
            res.identified = true;
            if (progress != nullptr) {
                progress->serial.store(res.device.serial);
                progress->firm_version.store(res.device.firm_version);
                progress->mcu_version.store(res.device.mcu_version);
                progress->identified.store(true, std::memory_order_release);
            }
            if (!force && CLS_cmc::cmc_ver_cmp(image.version, res.device.firm_version) ==
                              kCmcVerCurrent) {
                res.outcome = StnOutcome::kCurrent;
                res.new_version = res.device.firm_version;
                res.has_new = true;
            } else {
                set_phase(progress, kStnPhaseWriting);
                unsigned short old = 0;
                SCMC_UPD_JOB job{};
                job.entry = f.entry();
                job.image = image.edit;
                job.dev_no = index + 1;
                job.cb_progress = on_progress;
                job.obj = progress;
                job.oldprogre = &old;
                job.led_done = kCmcLedDoneAlways;
                r = CLS_cmc_upd::cmc_upd_device(&job);
                if (r != kCmcOk) {
                    unsigned long detail = 0;
                    CLS_cmc::cmc_endstat_chk(&detail, f.entry());
                    res.detail = static_cast<std::uint32_t>(detail);
                    res.what = step_words(job) + " " + exchange_words(r, f.entry()->end_code);
                } else {
                    // The end was accepted: the device committed. Its
                    // version says whether it holds what was written.
                    set_phase(progress, kStnPhaseVerifying);
                    StnDevice after = res.device;
                    if (!read_version(f.entry(), &after, &r)) {
                        res.detail = kStnDetailUnverified;
                        res.what = "version read after the update: " +
                                   exchange_words(r, f.entry()->end_code);
                    } else if (after.firm_version != image.version) {
                        res.detail = kStnDetailUnverified;
                        res.new_version = after.firm_version;
                        res.has_new = true;
                        res.what = "the device reports " + stn_version_text(after.firm_version) +
                                   " after the update, not " + stn_version_text(image.version);
                    } else {
                        res.outcome = StnOutcome::kUpdated;
                        res.new_version = after.firm_version;
                        res.has_new = true;
                    }
                }
            }
        }
    }
    set_phase(progress, kStnPhaseDone);
    res.ms = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - start)
                                            .count());
    return res;
}
