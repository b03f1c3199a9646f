// In-process simulated device: the model behind one mutex, registered with
// the POSIX layer through a fresh port object on every plug. Thread rules
// are in the header.
#include "devsim_inproc.h"

#include <windows.h>

#include <chrono>

namespace devsim {

// What the POSIX layer sees for one plug of the device. Forwards to the
// device while it is the registered port; fails every call once unplugged.
class InProcDevice::Port : public qvm_posix::Device {
public:
    explicit Port(InProcDevice *owner) : owner_(owner) {}

    bool on_open(std::uint32_t *error) override { return owner_->open_via(this, error); }
    bool on_write(const std::uint8_t *data, std::uint32_t len, std::uint32_t *written) override {
        return owner_->write_via(this, data, len, written);
    }
    bool on_read(std::uint8_t *buf, std::uint32_t capacity, std::uint32_t *read) override {
        return owner_->read_via(this, buf, capacity, read);
    }
    void on_close() override { owner_->close_via(this); }
    void on_cancel() override { owner_->on_cancel(); }

private:
    InProcDevice *owner_;
};

InProcDevice::InProcDevice(unsigned index, const devsim_config *config, bool plugged)
    : index_(index), name_("R846_QVM2K_" + std::to_string(index)), dev_(new devsim_device) {
    reset(config);
    if (plugged) plug();
}

InProcDevice::~InProcDevice() {
    std::unique_lock<std::mutex> lock(mutex_);
    unplug_locked();
    changed_.wait(lock, [this] { return calls_inside_ == 0; });
}

void InProcDevice::plug() {
    std::lock_guard<std::mutex> lock(mutex_);
    plug_locked();
}

void InProcDevice::replug() {
    std::lock_guard<std::mutex> lock(mutex_);
    unplug_locked();
    devsim_replug(dev_.get());
    plug_locked();
}

void InProcDevice::plug_locked() {
    if (current_ != nullptr) return;
    if (dev_->powered == 0) devsim_replug(dev_.get());
    ports_.emplace_back(new Port(this));
    current_ = ports_.back().get();
    ++plug_count_;
    // Lock order: this device, then the layer's registry (the layer never
    // calls a device while holding its registry lock).
    qvm_posix::register_device(name_.c_str(), current_);
}

void InProcDevice::unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    unplug_locked();
}

void InProcDevice::unplug_locked() {
    if (current_ == nullptr) return;
    qvm_posix::unregister_device(name_.c_str());
    current_ = nullptr;
    ++plug_count_;
    open_handles_ = 0;
    changed_.notify_all();
}

bool InProcDevice::plugged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_ != nullptr;
}

void InProcDevice::reset(const devsim_config *config) {
    std::lock_guard<std::mutex> lock(mutex_);
    devsim_config indexed;
    if (config == nullptr) {
        devsim_indexed_config(&indexed, index_);
        config = &indexed;
    }
    devsim_init(dev_.get(), config);
    released_through_ = 0;
    changed_.notify_all();
}

bool InProcDevice::arm_fault(std::uint32_t after, devsim_fault_kind kind, std::uint32_t param) {
    std::lock_guard<std::mutex> lock(mutex_);
    return devsim_arm_fault(dev_.get(), after, kind, param) == 1;
}

void InProcDevice::clear_faults() {
    std::lock_guard<std::mutex> lock(mutex_);
    devsim_clear_faults(dev_.get());
}

void InProcDevice::release_delays() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_through_ = dev_->exchanges;
    changed_.notify_all();
}

void InProcDevice::fail_open(std::uint32_t error) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_error_ = error;
}

void InProcDevice::set_exclusive(bool exclusive) {
    std::lock_guard<std::mutex> lock(mutex_);
    exclusive_ = exclusive;
}

bool InProcDevice::wait_exchanges(std::uint32_t n, unsigned timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return dev_->exchanges >= n; });
}

bool InProcDevice::wait_held(int n, unsigned timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return held_ >= n; });
}

std::vector<devsim_log_entry> InProcDevice::log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<devsim_log_entry> out(devsim_log_size(dev_.get()));
    for (std::uint32_t i = 0; i < out.size(); ++i) devsim_log_get(dev_.get(), i, &out[i]);
    return out;
}

void InProcDevice::clear_log() {
    std::lock_guard<std::mutex> lock(mutex_);
    devsim_log_clear(dev_.get());
}

std::uint32_t InProcDevice::read_locked(std::uint32_t devsim_device::*field) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dev_.get()->*field;
}

std::uint32_t InProcDevice::exchanges() const { return read_locked(&devsim_device::exchanges); }
std::uint32_t InProcDevice::led() const { return read_locked(&devsim_device::led); }
std::uint32_t InProcDevice::firm_version() const {
    return read_locked(&devsim_device::firm_version);
}
std::uint32_t InProcDevice::blocks_received() const {
    return read_locked(&devsim_device::blocks_received);
}
std::uint32_t InProcDevice::commits() const { return read_locked(&devsim_device::commits); }
std::uint32_t InProcDevice::boot_state() const { return read_locked(&devsim_device::boot_state); }

std::vector<std::uint8_t> InProcDevice::flash() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::uint8_t> out(DEVSIM_WINDOW_SIZE);
    devsim_flash_read(dev_.get(), DEVSIM_WINDOW_START, out.data(), DEVSIM_WINDOW_SIZE);
    return out;
}

int InProcDevice::open_handles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_handles_;
}

bool InProcDevice::on_open(std::uint32_t *error) { return open_via(nullptr, error); }

bool InProcDevice::on_write(const std::uint8_t *data, std::uint32_t len, std::uint32_t *written) {
    return write_via(nullptr, data, len, written);
}

bool InProcDevice::on_read(std::uint8_t *buf, std::uint32_t capacity, std::uint32_t *read) {
    return read_via(nullptr, buf, capacity, read);
}

void InProcDevice::on_close() { close_via(nullptr); }

void InProcDevice::observe(std::function<void(const devsim_log_entry &)> observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

bool InProcDevice::live(const Port *via) const { return via == nullptr || via == current_; }

bool InProcDevice::open_via(const Port *via, std::uint32_t *error) {
    std::unique_lock<std::mutex> lock(mutex_);
    serve_stall(lock, via, &stall_opens_);
    if (!live(via)) {
        *error = ERROR_FILE_NOT_FOUND;
        return false;
    }
    if (open_error_ != 0) {
        *error = open_error_;
        return false;
    }
    if (exclusive_ && open_handles_ > 0) {
        *error = ERROR_SHARING_VIOLATION;
        return false;
    }
    ++open_handles_;
    return true;
}

bool InProcDevice::write_via(const Port *via, const std::uint8_t *data, std::uint32_t len,
                             std::uint32_t *written) {
    std::unique_lock<std::mutex> lock(mutex_);
    *written = 0;
    if (!live(via)) return false;
    const std::uint32_t logged = dev_->log_count;
    bool ok = devsim_write(dev_.get(), data, len, written) == 1;
    if (observer_ && dev_->log_count != logged) {
        devsim_log_entry e{};
        if (devsim_log_get(dev_.get(), devsim_log_size(dev_.get()) - 1, &e) == 1) observer_(e);
    }
    // An unplug or power-loss fault: the device goes as the command arrives.
    if (dev_->powered == 0) unplug_locked();
    changed_.notify_all();  // wait_exchanges
    if (devsim_hang(dev_.get()) == DEVSIM_HANG_WRITE) {
        ++calls_inside_;
        serve_hang(lock, via);
        --calls_inside_;
        changed_.notify_all();
        return false;
    }
    return ok;
}

bool InProcDevice::read_via(const Port *via, std::uint8_t *buf, std::uint32_t capacity,
                            std::uint32_t *read) {
    std::unique_lock<std::mutex> lock(mutex_);
    *read = 0;
    if (!live(via)) return false;
    ++calls_inside_;
    bool ok = true;
    if (devsim_hang(dev_.get()) == DEVSIM_HANG_READ) {
        ok = false;
        serve_hang(lock, via);
    } else if (std::uint32_t ms = devsim_pending_delay(dev_.get())) {
        ok = serve_delay(lock, via, ms);
    }
    if (ok) ok = devsim_read(dev_.get(), buf, capacity, read) == 1;
    --calls_inside_;
    changed_.notify_all();
    return ok;
}

std::function<bool()> InProcDevice::ended(const Port *via) const {
    const std::uint64_t plug = plug_count_;
    return [this, via, plug] {
        const bool gone = via != nullptr ? current_ != via : plug_count_ != plug;
        return gone || qvm_posix::cancel_requested();
    };
}

bool InProcDevice::serve_delay(std::unique_lock<std::mutex> &lock, const Port *via,
                               std::uint32_t ms) {
    // Writes so far: this read belongs to write number `exchange`, counted
    // from 1, so a released_through_ of 0 releases nothing.
    const std::uint32_t exchange = dev_->exchanges;
    const auto end = ended(via);
    ++held_;
    changed_.notify_all();  // wait_held
    changed_.wait_for(lock, std::chrono::milliseconds(ms),
                      [&] { return end() || released_through_ >= exchange; });
    --held_;
    return !end();
}

void InProcDevice::serve_hang(std::unique_lock<std::mutex> &lock, const Port *via) {
    ++held_;
    changed_.notify_all();  // wait_held
    changed_.wait(lock, ended(via));
    --held_;
}

void InProcDevice::on_cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

void InProcDevice::close_via(const Port *via) {
    std::unique_lock<std::mutex> lock(mutex_);
    serve_stall(lock, via, &stall_closes_);
    if (live(via) && open_handles_ > 0) --open_handles_;
}

void InProcDevice::serve_stall(std::unique_lock<std::mutex> &lock, const Port *via,
                               const bool *stall) {
    if (!*stall || !live(via)) return;
    ++calls_inside_;
    ++held_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !*stall || !live(via); });
    --held_;
    --calls_inside_;
    changed_.notify_all();
}

void InProcDevice::stall_opens(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    stall_opens_ = on;
    changed_.notify_all();
}

void InProcDevice::stall_closes(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    stall_closes_ = on;
    changed_.notify_all();
}

}  // namespace devsim
