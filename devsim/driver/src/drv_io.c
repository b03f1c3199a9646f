/* Reads and writes on a simulated device: one write is one command, the
 * following read returns its whole answer (cut to the read's length).
 * Buffers of any length, including none, are safe: the model takes any
 * bytes and the answer goes through a bounded buffer of our own.
 * Threads and locks: see drv.h; the wait for a delay holds no lock. */
#include "drv.h"

/* Only handles whose create was accepted, on a device still plugged in. */
static BOOLEAN usable(struct drv_sim *sim, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    return sp->FileObject != NULL && sp->FileObject->FsContext == sim;
}

NTSTATUS drv_sim_write(struct drv_sim *sim, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    static const uint8_t no_data = 0;
    const uint8_t *data = (const uint8_t *)irp->AssociatedIrp.SystemBuffer;
    ULONG length = sp->Parameters.Write.Length;
    uint32_t written = 0;
    int ok = 0;
    BOOLEAN gone;
    KIRQL irql;

    if (!usable(sim, irp)) return drv_complete(irp, STATUS_INVALID_HANDLE, 0);
    if (data == NULL) {
        data = &no_data;
        length = 0;
    }
    KeAcquireSpinLock(&sim->lock, &irql);
    gone = sim->gone;
    if (!gone) ok = devsim_write(&sim->model, data, length, &written);
    KeReleaseSpinLock(&sim->lock, irql);

    if (gone) return drv_complete(irp, STATUS_DEVICE_DOES_NOT_EXIST, 0);
    if (!ok) return drv_complete(irp, STATUS_IO_DEVICE_ERROR, 0);
    return drv_complete(irp, STATUS_SUCCESS, written);
}

NTSTATUS drv_sim_read(struct drv_sim *sim, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    uint8_t *out = (uint8_t *)irp->AssociatedIrp.SystemBuffer;
    ULONG length = out != NULL ? sp->Parameters.Read.Length : 0;
    uint8_t answer[DEVSIM_MAX_RESPONSE];
    uint32_t got = 0, wait_ms;
    int ok = 0;
    BOOLEAN gone;
    KIRQL irql;

    if (!usable(sim, irp)) return drv_complete(irp, STATUS_INVALID_HANDLE, 0);

    KeAcquireSpinLock(&sim->lock, &irql);
    wait_ms = devsim_pending_delay(&sim->model);
    wait_ms = wait_ms > DEVSIM_MAX_DELAY_MS ? DEVSIM_MAX_DELAY_MS : wait_ms;
    wait_ms += sim->delay_ms; /* itself capped when set */
    KeReleaseSpinLock(&sim->lock, irql);
    if (wait_ms != 0) {
        LARGE_INTEGER interval;
        interval.QuadPart = -10000LL * (LONGLONG)wait_ms; /* relative, 100 ns units */
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }

    KeAcquireSpinLock(&sim->lock, &irql);
    gone = sim->gone;
    if (!gone) ok = devsim_read(&sim->model, answer, sizeof(answer), &got);
    KeReleaseSpinLock(&sim->lock, irql);

    if (gone) return drv_complete(irp, STATUS_DEVICE_DOES_NOT_EXIST, 0);
    if (!ok) return drv_complete(irp, STATUS_IO_DEVICE_ERROR, 0);
    if (got > sizeof(answer)) got = sizeof(answer);
    if (got > length) got = length;
    if (got != 0) RtlCopyMemory(out, answer, got);
    return drv_complete(irp, STATUS_SUCCESS, got);
}
