/* The control device's requests, one handler each: configure devices,
 * arm faults, set delays, replug, read back state, log and flash. Every
 * request runs under the table mutex (so its device cannot go meanwhile)
 * and touches the model under the device's spin lock. Every buffer length
 * is checked before use. Threads and locks: see drv.h. */
#include "drv.h"

struct ctl_req {
    const void *in;
    ULONG in_len;
    void *out;
    ULONG out_len;
    ULONG_PTR done;      /* bytes of output written */
    struct drv_sim *sim; /* the device a per-device request names */
};

/* The device that a request's leading index names, or why there is none.
 * Every such request's input starts with the index (length already checked). */
static NTSTATUS lookup(struct ctl_req *r) {
    ULONG index = *(const uint32_t *)r->in;
    if (index >= DEVSIM_MAX_DEVICES) return STATUS_INVALID_PARAMETER;
    r->sim = drv_sim_find(index);
    return r->sim != NULL ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

static NTSTATUS ctl_info(struct ctl_req *r) {
    struct devsim_ioc_info *info = (struct devsim_ioc_info *)r->out;
    ULONG i;
    if (r->out_len < sizeof(*info)) return STATUS_BUFFER_TOO_SMALL;
    RtlZeroMemory(info, sizeof(*info));
    info->abi_version = DEVSIM_ABI_VERSION;
    for (i = 0; i < DEVSIM_MAX_DEVICES; ++i) {
        const struct drv_sim *sim = drv_sim_find(i);
        if (sim == NULL || sim->pulled) continue;
        info->present[i] = 1;
        ++info->device_count;
    }
    r->done = sizeof(*info);
    return STATUS_SUCCESS;
}

static NTSTATUS ctl_add(struct ctl_req *r) {
    const struct devsim_ioc_add *add = (const struct devsim_ioc_add *)r->in;
    struct devsim_config config;
    if (add->mcu_version > 0xFFFFu) return STATUS_INVALID_PARAMETER;
    config.firm_version = add->firm_version;
    config.mcu_version = (uint16_t)add->mcu_version;
    config.boot_version = add->boot_version;
    config.serial_no = add->serial_no;
    config.license_low = add->license_low;
    config.license_high = add->license_high;
    return drv_sim_add(add->index, &config);
}

static NTSTATUS ctl_remove(struct ctl_req *r) {
    return drv_sim_remove(((const struct devsim_ioc_index *)r->in)->index);
}

static NTSTATUS ctl_remove_all(struct ctl_req *r) {
    (void)r;
    drv_sim_remove_all();
    return STATUS_SUCCESS;
}

static NTSTATUS ctl_replug(struct ctl_req *r) {
    return drv_sim_replug(((const struct devsim_ioc_index *)r->in)->index);
}

/* The requests below act on the model of the device that the request's
 * leading index names (r->sim, plugged in or pulled out). */

static NTSTATUS ctl_reset(struct ctl_req *r) {
    struct drv_sim *sim = r->sim;
    struct devsim_config config;
    KIRQL irql;
    KeAcquireSpinLock(&sim->lock, &irql);
    config = sim->model.config;
    devsim_init(&sim->model, &config);
    KeReleaseSpinLock(&sim->lock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS ctl_arm_fault(struct ctl_req *r) {
    const struct devsim_ioc_fault *f = (const struct devsim_ioc_fault *)r->in;
    struct drv_sim *sim = r->sim;
    int ok;
    KIRQL irql;
    KeAcquireSpinLock(&sim->lock, &irql);
    ok = devsim_arm_fault(&sim->model, f->after, f->kind, f->param);
    KeReleaseSpinLock(&sim->lock, irql);
    return ok ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

/* Runs a change of the model that cannot fail, under the device's lock. */
static NTSTATUS model_locked(struct ctl_req *r, void (*change)(struct devsim_device *)) {
    KIRQL irql;
    KeAcquireSpinLock(&r->sim->lock, &irql);
    change(&r->sim->model);
    KeReleaseSpinLock(&r->sim->lock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS ctl_clear_faults(struct ctl_req *r) {
    return model_locked(r, devsim_clear_faults);
}

static NTSTATUS ctl_set_delay(struct ctl_req *r) {
    const struct devsim_ioc_delay *d = (const struct devsim_ioc_delay *)r->in;
    KIRQL irql;
    if (d->ms > DEVSIM_MAX_DELAY_MS) return STATUS_INVALID_PARAMETER;
    KeAcquireSpinLock(&r->sim->lock, &irql);
    r->sim->delay_ms = d->ms;
    KeReleaseSpinLock(&r->sim->lock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS ctl_state(struct ctl_req *r) {
    struct devsim_ioc_state *st = (struct devsim_ioc_state *)r->out;
    struct drv_sim *sim = r->sim;
    const struct devsim_device *m = &sim->model;
    KIRQL irql;
    if (r->out_len < sizeof(*st)) return STATUS_BUFFER_TOO_SMALL;
    KeAcquireSpinLock(&sim->lock, &irql);
    st->index = sim->index;
    st->firm_version = m->firm_version;
    st->led = m->led;
    st->boot_state = m->boot_state;
    st->blocks_received = m->blocks_received;
    st->commits = m->commits;
    st->exchanges = m->exchanges;
    st->log_total = m->log_count;
    st->log_kept = devsim_log_size(m);
    st->faults_armed = m->fault_count;
    st->delay_ms = sim->delay_ms;
    st->plugged = sim->pulled ? 0 : 1;
    KeReleaseSpinLock(&sim->lock, irql);
    st->open_handles = sim->open_count; /* table mutex held */
    st->reads_pending = drv_pend_count(sim);
    r->done = sizeof(*st);
    return STATUS_SUCCESS;
}

static NTSTATUS ctl_log(struct ctl_req *r) {
    /* Copied first: the output overwrites the input. */
    const struct devsim_ioc_log_req q = *(const struct devsim_ioc_log_req *)r->in;
    struct devsim_ioc_log_head *head = (struct devsim_ioc_log_head *)r->out;
    struct devsim_ioc_log_entry *out;
    struct drv_sim *sim = r->sim;
    ULONG room, i, kept;
    KIRQL irql;
    if (r->out_len < sizeof(*head)) return STATUS_BUFFER_TOO_SMALL;
    out = (struct devsim_ioc_log_entry *)(head + 1);
    room = (r->out_len - (ULONG)sizeof(*head)) / (ULONG)sizeof(*out);
    head->first = q.first;
    head->returned = 0;
    KeAcquireSpinLock(&sim->lock, &irql);
    head->total = sim->model.log_count;
    kept = devsim_log_size(&sim->model);
    head->kept = kept;
    for (i = 0; i < room && q.first < kept && i < kept - q.first; ++i) {
        struct devsim_log_entry e;
        if (!devsim_log_get(&sim->model, q.first + i, &e)) break;
        out[i].index = e.index;
        out[i].cmd_id = e.cmd_id;
        out[i].param1 = e.param1;
        out[i].param2 = e.param2;
        out[i].length = e.length;
        out[i].code = e.code;
        out[i].error = e.error;
        out[i].fault = e.fault;
        ++head->returned;
    }
    KeReleaseSpinLock(&sim->lock, irql);
    r->done = sizeof(*head) + head->returned * sizeof(*out);
    return STATUS_SUCCESS;
}

static NTSTATUS ctl_clear_log(struct ctl_req *r) { return model_locked(r, devsim_log_clear); }

static NTSTATUS ctl_flash(struct ctl_req *r) {
    const struct devsim_ioc_flash_req *q = (const struct devsim_ioc_flash_req *)r->in;
    ULONG offset = q->offset, length = q->length;
    int ok;
    KIRQL irql;
    if (offset > DEVSIM_WINDOW_SIZE || length > DEVSIM_WINDOW_SIZE - offset)
        return STATUS_INVALID_PARAMETER;
    if (r->out_len < length) return STATUS_BUFFER_TOO_SMALL;
    if (length == 0) return STATUS_SUCCESS;
    KeAcquireSpinLock(&r->sim->lock, &irql);
    ok = devsim_flash_read(&r->sim->model, DEVSIM_WINDOW_START + offset, (uint8_t *)r->out,
                           length);
    KeReleaseSpinLock(&r->sim->lock, irql);
    if (!ok) return STATUS_INVALID_PARAMETER;
    r->done = length;
    return STATUS_SUCCESS;
}

/* One handler per request: the input record it needs (checked before
 * anything is read) and whether its input starts with a device index that
 * must name a device. */
typedef NTSTATUS ctl_handler(struct ctl_req *r);
struct ctl_entry {
    ULONG code;
    ULONG in_size;
    BOOLEAN on_device;
    ctl_handler *run;
};

static const struct ctl_entry ctl_entries[] = {
    {DEVSIM_IOCTL_INFO, 0, FALSE, ctl_info},
    {DEVSIM_IOCTL_ADD, sizeof(struct devsim_ioc_add), FALSE, ctl_add},
    {DEVSIM_IOCTL_REMOVE, sizeof(struct devsim_ioc_index), FALSE, ctl_remove},
    {DEVSIM_IOCTL_REMOVE_ALL, 0, FALSE, ctl_remove_all},
    {DEVSIM_IOCTL_REPLUG, sizeof(struct devsim_ioc_index), FALSE, ctl_replug},
    {DEVSIM_IOCTL_RESET, sizeof(struct devsim_ioc_index), TRUE, ctl_reset},
    {DEVSIM_IOCTL_ARM_FAULT, sizeof(struct devsim_ioc_fault), TRUE, ctl_arm_fault},
    {DEVSIM_IOCTL_CLEAR_FAULTS, sizeof(struct devsim_ioc_index), TRUE, ctl_clear_faults},
    {DEVSIM_IOCTL_SET_DELAY, sizeof(struct devsim_ioc_delay), TRUE, ctl_set_delay},
    {DEVSIM_IOCTL_STATE, sizeof(struct devsim_ioc_index), TRUE, ctl_state},
    {DEVSIM_IOCTL_LOG, sizeof(struct devsim_ioc_log_req), TRUE, ctl_log},
    {DEVSIM_IOCTL_CLEAR_LOG, sizeof(struct devsim_ioc_index), TRUE, ctl_clear_log},
    {DEVSIM_IOCTL_FLASH, sizeof(struct devsim_ioc_flash_req), TRUE, ctl_flash},
};

NTSTATUS drv_ctl_ioctl(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    const struct ctl_entry *entry = NULL;
    struct ctl_req r;
    NTSTATUS status;
    ULONG i;

    for (i = 0; i < sizeof(ctl_entries) / sizeof(ctl_entries[0]); ++i)
        if (ctl_entries[i].code == code) entry = &ctl_entries[i];
    if (entry == NULL) return drv_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);

    /* Buffered: input and output share the one system buffer, so each
     * handler reads what it needs before it writes. */
    r.in = irp->AssociatedIrp.SystemBuffer;
    r.out = irp->AssociatedIrp.SystemBuffer;
    r.in_len = r.in != NULL ? sp->Parameters.DeviceIoControl.InputBufferLength : 0;
    r.out_len = r.out != NULL ? sp->Parameters.DeviceIoControl.OutputBufferLength : 0;
    r.done = 0;
    r.sim = NULL;
    if (r.in_len < entry->in_size) return drv_complete(irp, STATUS_BUFFER_TOO_SMALL, 0);

    drv_lock_table();
    status = entry->on_device ? lookup(&r) : STATUS_SUCCESS;
    if (NT_SUCCESS(status)) status = entry->run(&r);
    drv_unlock_table();
    return drv_complete(irp, status, r.done);
}
