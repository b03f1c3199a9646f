/* The control device's requests: configure devices, arm faults, set
 * delays, read back state, log and flash. Every request runs under the
 * table mutex (so its device cannot go meanwhile) and touches the model
 * under the device's spin lock. Every buffer length is checked before use.
 * Threads and locks: see drv.h. */
#include "drv.h"

struct ctl_req {
    const void *in;
    ULONG in_len;
    void *out;
    ULONG out_len;
    ULONG_PTR done; /* bytes of output written */
};

/* Input record size of each request; checked before anything is read. */
static ULONG input_size(ULONG code) {
    switch (code) {
    case DEVSIM_IOCTL_ADD: return sizeof(struct devsim_ioc_add);
    case DEVSIM_IOCTL_ARM_FAULT: return sizeof(struct devsim_ioc_fault);
    case DEVSIM_IOCTL_SET_DELAY: return sizeof(struct devsim_ioc_delay);
    case DEVSIM_IOCTL_LOG: return sizeof(struct devsim_ioc_log_req);
    case DEVSIM_IOCTL_FLASH: return sizeof(struct devsim_ioc_flash_req);
    case DEVSIM_IOCTL_REMOVE:
    case DEVSIM_IOCTL_RESET:
    case DEVSIM_IOCTL_CLEAR_FAULTS:
    case DEVSIM_IOCTL_STATE:
    case DEVSIM_IOCTL_CLEAR_LOG: return sizeof(struct devsim_ioc_index);
    default: return 0;
    }
}

/* The device that a request's leading index names, or why there is none.
 * Every such request's input starts with the index (length already checked). */
static NTSTATUS lookup(const struct ctl_req *r, struct drv_sim **sim) {
    ULONG index = *(const uint32_t *)r->in;
    if (index >= DEVSIM_MAX_DEVICES) return STATUS_INVALID_PARAMETER;
    *sim = drv_sim_find(index);
    return *sim != NULL ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

static NTSTATUS ctl_info(struct ctl_req *r) {
    struct devsim_ioc_info *info = (struct devsim_ioc_info *)r->out;
    ULONG i;
    if (r->out_len < sizeof(*info)) return STATUS_BUFFER_TOO_SMALL;
    RtlZeroMemory(info, sizeof(*info));
    info->abi_version = DEVSIM_ABI_VERSION;
    for (i = 0; i < DEVSIM_MAX_DEVICES; ++i) {
        if (drv_table.sim[i] == NULL) continue;
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

/* The requests that act on one plugged-in device's model. */
static NTSTATUS ctl_on_device(ULONG code, struct ctl_req *r) {
    struct drv_sim *sim = NULL;
    NTSTATUS status = lookup(r, &sim);
    KIRQL irql;
    if (!NT_SUCCESS(status)) return status;

    switch (code) {
    case DEVSIM_IOCTL_RESET: {
        struct devsim_config config;
        KeAcquireSpinLock(&sim->lock, &irql);
        config = sim->model.config;
        devsim_init(&sim->model, &config);
        KeReleaseSpinLock(&sim->lock, irql);
        return STATUS_SUCCESS;
    }
    case DEVSIM_IOCTL_ARM_FAULT: {
        const struct devsim_ioc_fault *f = (const struct devsim_ioc_fault *)r->in;
        int ok;
        KeAcquireSpinLock(&sim->lock, &irql);
        ok = devsim_arm_fault(&sim->model, f->after, f->kind, f->param);
        KeReleaseSpinLock(&sim->lock, irql);
        return ok ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    case DEVSIM_IOCTL_CLEAR_FAULTS:
        KeAcquireSpinLock(&sim->lock, &irql);
        devsim_clear_faults(&sim->model);
        KeReleaseSpinLock(&sim->lock, irql);
        return STATUS_SUCCESS;
    case DEVSIM_IOCTL_SET_DELAY: {
        const struct devsim_ioc_delay *d = (const struct devsim_ioc_delay *)r->in;
        if (d->ms > DEVSIM_MAX_DELAY_MS) return STATUS_INVALID_PARAMETER;
        KeAcquireSpinLock(&sim->lock, &irql);
        sim->delay_ms = d->ms;
        KeReleaseSpinLock(&sim->lock, irql);
        return STATUS_SUCCESS;
    }
    case DEVSIM_IOCTL_STATE: {
        struct devsim_ioc_state *st = (struct devsim_ioc_state *)r->out;
        const struct devsim_device *m = &sim->model;
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
        KeReleaseSpinLock(&sim->lock, irql);
        st->open_handles = sim->open_count; /* table mutex held */
        r->done = sizeof(*st);
        return STATUS_SUCCESS;
    }
    case DEVSIM_IOCTL_LOG: {
        const struct devsim_ioc_log_req *q = (const struct devsim_ioc_log_req *)r->in;
        struct devsim_ioc_log_head *head = (struct devsim_ioc_log_head *)r->out;
        struct devsim_ioc_log_entry *out;
        ULONG room, i;
        if (r->out_len < sizeof(*head)) return STATUS_BUFFER_TOO_SMALL;
        out = (struct devsim_ioc_log_entry *)(head + 1);
        room = (r->out_len - (ULONG)sizeof(*head)) / (ULONG)sizeof(*out);
        head->first = q->first; /* read before the output overwrites it */
        head->returned = 0;
        KeAcquireSpinLock(&sim->lock, &irql);
        head->total = sim->model.log_count;
        head->kept = devsim_log_size(&sim->model);
        for (i = 0; i < room && head->first < head->kept && i < head->kept - head->first; ++i) {
            struct devsim_log_entry e;
            if (!devsim_log_get(&sim->model, head->first + i, &e)) break;
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
    case DEVSIM_IOCTL_CLEAR_LOG:
        KeAcquireSpinLock(&sim->lock, &irql);
        devsim_log_clear(&sim->model);
        KeReleaseSpinLock(&sim->lock, irql);
        return STATUS_SUCCESS;
    case DEVSIM_IOCTL_FLASH: {
        const struct devsim_ioc_flash_req *q = (const struct devsim_ioc_flash_req *)r->in;
        ULONG offset, length;
        int ok;
        offset = q->offset;
        length = q->length;
        if (offset > DEVSIM_WINDOW_SIZE || length > DEVSIM_WINDOW_SIZE - offset)
            return STATUS_INVALID_PARAMETER;
        if (r->out_len < length) return STATUS_BUFFER_TOO_SMALL;
        if (length == 0) return STATUS_SUCCESS;
        KeAcquireSpinLock(&sim->lock, &irql);
        ok = devsim_flash_read(&sim->model, DEVSIM_WINDOW_START + offset, (uint8_t *)r->out, length);
        KeReleaseSpinLock(&sim->lock, irql);
        if (!ok) return STATUS_INVALID_PARAMETER;
        r->done = length;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS drv_ctl_ioctl(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    struct ctl_req r;
    NTSTATUS status;

    /* Buffered: input and output share the one system buffer, so each
     * handler reads what it needs before it writes. */
    r.in = irp->AssociatedIrp.SystemBuffer;
    r.out = irp->AssociatedIrp.SystemBuffer;
    r.in_len = r.in != NULL ? sp->Parameters.DeviceIoControl.InputBufferLength : 0;
    r.out_len = r.out != NULL ? sp->Parameters.DeviceIoControl.OutputBufferLength : 0;
    r.done = 0;

    if (r.in_len < input_size(code)) return drv_complete(irp, STATUS_BUFFER_TOO_SMALL, 0);

    drv_lock_table();
    switch (code) {
    case DEVSIM_IOCTL_INFO: status = ctl_info(&r); break;
    case DEVSIM_IOCTL_ADD: status = ctl_add(&r); break;
    case DEVSIM_IOCTL_REMOVE: status = ctl_remove(&r); break;
    case DEVSIM_IOCTL_REMOVE_ALL:
        drv_sim_remove_all();
        status = STATUS_SUCCESS;
        break;
    case DEVSIM_IOCTL_RESET:
    case DEVSIM_IOCTL_ARM_FAULT:
    case DEVSIM_IOCTL_CLEAR_FAULTS:
    case DEVSIM_IOCTL_SET_DELAY:
    case DEVSIM_IOCTL_STATE:
    case DEVSIM_IOCTL_LOG:
    case DEVSIM_IOCTL_CLEAR_LOG:
    case DEVSIM_IOCTL_FLASH: status = ctl_on_device(code, &r); break;
    default: status = STATUS_INVALID_DEVICE_REQUEST; break;
    }
    drv_unlock_table();
    return drv_complete(irp, status, r.done);
}
