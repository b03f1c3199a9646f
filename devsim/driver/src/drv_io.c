/* Reads and writes on a simulated device: one write is one command, the
 * following read returns its whole answer (cut to the read's length).
 * Buffers of any length, including none, are safe: the model takes any
 * bytes and the answer goes through a bounded buffer of our own. A read
 * whose answer must wait, and a read or write that hangs, is pended
 * (drv_pend.c), never waited for here.
 * Threads and locks: see drv.h. */
#include "drv.h"

/* Only handles whose create was accepted (FsContext), of the device's
 * current plug (FsContext2). Spin lock held. */
static BOOLEAN usable_locked(struct drv_sim *sim, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    return file != NULL && file->FsContext == sim && !sim->gone && !sim->pulled &&
           file->FsContext2 == (PVOID)(ULONG_PTR)sim->plug;
}

NTSTATUS drv_sim_write(struct drv_sim *sim, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    static const uint8_t no_data = 0;
    const uint8_t *data = (const uint8_t *)irp->AssociatedIrp.SystemBuffer;
    ULONG length = sp->Parameters.Write.Length;
    uint32_t written = 0;
    int ok = 0;
    BOOLEAN usable, lost = FALSE, hangs = FALSE;
    ULONG epoch = drv_pend_epoch(sim);
    KIRQL irql;

    if (data == NULL) {
        data = &no_data;
        length = 0;
    }
    KeAcquireSpinLock(&sim->lock, &irql);
    usable = usable_locked(sim, irp);
    if (usable) {
        ok = devsim_write(&sim->model, data, length, &written);
        /* Unplugged or powered off as this command arrived: the plug ends
         * and the name goes below. */
        lost = sim->model.powered == 0;
        hangs = devsim_hang(&sim->model) == DEVSIM_HANG_WRITE;
    }
    KeReleaseSpinLock(&sim->lock, irql);

    if (lost) {
        drv_sim_pull(sim);
        drv_pend_flush(sim, NULL, FALSE);
    }
    if (!usable) return drv_complete(irp, STATUS_DEVICE_DOES_NOT_EXIST, 0);
    if (hangs) return drv_pend_queue(sim, irp, DRV_PEND_NEVER, epoch);
    if (!ok) return drv_complete(irp, lost ? STATUS_DEVICE_DOES_NOT_EXIST : STATUS_IO_DEVICE_ERROR, 0);
    /* A power loss took the command before the device died. */
    return drv_complete(irp, STATUS_SUCCESS, written);
}

NTSTATUS drv_sim_answer(struct drv_sim *sim, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    uint8_t *out = (uint8_t *)irp->AssociatedIrp.SystemBuffer;
    ULONG length = out != NULL ? sp->Parameters.Read.Length : 0;
    uint8_t answer[DEVSIM_MAX_RESPONSE];
    uint32_t got = 0;
    int ok = 0;
    BOOLEAN usable;
    KIRQL irql;

    KeAcquireSpinLock(&sim->lock, &irql);
    usable = usable_locked(sim, irp);
    if (usable) ok = devsim_read(&sim->model, answer, sizeof(answer), &got);
    KeReleaseSpinLock(&sim->lock, irql);

    if (!usable) return drv_complete(irp, STATUS_DEVICE_DOES_NOT_EXIST, 0);
    if (!ok) return drv_complete(irp, STATUS_IO_DEVICE_ERROR, 0);
    if (got > sizeof(answer)) got = sizeof(answer);
    if (got > length) got = length;
    if (got != 0) RtlCopyMemory(out, answer, got);
    return drv_complete(irp, STATUS_SUCCESS, got);
}

NTSTATUS drv_sim_read(struct drv_sim *sim, PIRP irp) {
    uint32_t wait_ms;
    BOOLEAN usable;
    ULONG epoch = drv_pend_epoch(sim); /* before the handle is found usable */
    KIRQL irql;

    KeAcquireSpinLock(&sim->lock, &irql);
    usable = usable_locked(sim, irp);
    wait_ms = devsim_pending_delay(&sim->model);
    wait_ms = wait_ms > DEVSIM_MAX_DELAY_MS ? DEVSIM_MAX_DELAY_MS : wait_ms;
    wait_ms += sim->delay_ms; /* itself capped when set */
    if (devsim_hang(&sim->model) == DEVSIM_HANG_READ) wait_ms = DRV_PEND_NEVER;
    KeReleaseSpinLock(&sim->lock, irql);

    if (usable && wait_ms != 0) return drv_pend_queue(sim, irp, wait_ms, epoch);
    return drv_sim_answer(sim, irp);
}
