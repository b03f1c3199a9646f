/* Held-back requests. A read whose answer must wait (an armed delay or the
 * per-exchange delay) is marked pending and queued with the time it is
 * due; one system thread completes each when due. A request that hangs (a
 * hang fault, read or write) is queued with no due time: only a cancel, its
 * handle's close or its device going ends it. Waiting in the dispatch
 * routine instead would hold up every device, because Wine hands all of a
 * driver's requests to its dispatch routines on one thread.
 *
 * Threads: drv_pend_queue runs on the dispatch thread, the worker on its own
 * system thread, pend_cancel on the canceller's. drv_pend.lock guards the
 * queue, `stopping` and every sim's `pended`; an IRP in the queue is owned
 * by the queue, one taken off it by whoever took it. Whoever clears the
 * cancel routine (IoSetCancelRoutine(irp, NULL) returning ours) completes
 * the IRP; when it returns NULL the cancel routine has it and completes it,
 * so every request is completed exactly once whatever the order. A queued
 * IRP's list entry always points to itself when it is off the queue, so the
 * cancel routine's unlink is harmless then.
 *
 * Not the kernel's cancel-safe queue (IoCsqInsertIrp and friends): Wine's
 * ntoskrnl only stubs them (IoCsqInitialize is there, IoCsqInsertIrp,
 * IoCsqRemoveIrp and IoCsqRemoveNextIrp are __wine_stub entries that fail
 * when called), and the driver must load under Wine. */
#include "drv.h"

/* ntifs.h declares it, but does not build beside ntddk.h. */
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable,
                                              PLARGE_INTEGER timeout);

/* Tail.Overlay.DriverContext slots of a queued request. */
#define CTX_SIM 0
#define CTX_DUE 1   /* performance-counter ticks, or DUE_NEVER */
#define DUE_NEVER MAXLONGLONG

static struct {
    KSPIN_LOCK lock;
    LIST_ENTRY queue;
    KEVENT wake;
    BOOLEAN stopping;
    HANDLE thread;
    LONGLONG ticks_per_s;
} drv_pend;

static KSTART_ROUTINE pend_worker;
static DRIVER_CANCEL pend_cancel;

static LONGLONG now_ticks(void) { return KeQueryPerformanceCounter(NULL).QuadPart; }

static PIRP irp_of(PLIST_ENTRY e) { return CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry); }
static struct drv_sim *sim_of(PIRP irp) {
    return (struct drv_sim *)irp->Tail.Overlay.DriverContext[CTX_SIM];
}
static LONGLONG due_of(PIRP irp) { return (LONGLONG)(ULONG_PTR)irp->Tail.Overlay.DriverContext[CTX_DUE]; }

/* Completes a request taken off the queue, then lets its device go. A hang
 * that ends uncancelled ends because its device or plug went. */
static void finish(PIRP irp, BOOLEAN cancel) {
    struct drv_sim *sim = sim_of(irp);
    KIRQL irql;
    if (cancel) {
        drv_complete(irp, STATUS_CANCELLED, 0);
    } else if (due_of(irp) == DUE_NEVER) {
        drv_complete(irp, STATUS_DEVICE_DOES_NOT_EXIST, 0);
    } else {
        drv_sim_answer(sim, irp);
    }
    KeAcquireSpinLock(&drv_pend.lock, &irql);
    --sim->pended;
    KeReleaseSpinLock(&drv_pend.lock, irql);
}

/* Moves a queued IRP to `taken` unless its cancel routine owns it now.
 * drv_pend.lock held. */
static void take(PIRP irp, PLIST_ENTRY taken) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) == NULL) return; /* the cancel routine completes it */
    InsertTailList(taken, &irp->Tail.Overlay.ListEntry);
}

static void finish_all(PLIST_ENTRY taken, BOOLEAN cancel) {
    while (!IsListEmpty(taken)) finish(irp_of(RemoveHeadList(taken)), cancel);
}

static VOID NTAPI pend_cancel(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&drv_pend.lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry); /* a no-op when it is off the queue */
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&drv_pend.lock, irql);
    finish(irp, TRUE);
}

static VOID NTAPI pend_worker(PVOID context) {
    (void)context;
    for (;;) {
        LIST_ENTRY taken;
        PLIST_ENTRY e, next_e;
        LONGLONG now = now_ticks(), next = -1;
        BOOLEAN stop;
        LARGE_INTEGER timeout;
        KIRQL irql;

        InitializeListHead(&taken);
        KeAcquireSpinLock(&drv_pend.lock, &irql);
        stop = drv_pend.stopping;
        for (e = drv_pend.queue.Flink; e != &drv_pend.queue; e = next_e) {
            PIRP irp = irp_of(e);
            next_e = e->Flink;
            if (stop || due_of(irp) <= now) {
                take(irp, &taken);
            } else if (due_of(irp) != DUE_NEVER && (next < 0 || due_of(irp) < next)) {
                next = due_of(irp);
            }
        }
        KeReleaseSpinLock(&drv_pend.lock, irql);
        finish_all(&taken, FALSE);
        if (stop) break;

        if (next < 0) {
            KeWaitForSingleObject(&drv_pend.wake, Executive, KernelMode, FALSE, NULL);
        } else {
            /* Relative, in 100 ns units; at least one. */
            LONGLONG ticks = next - now;
            LONGLONG units = ticks * 10000000LL / drv_pend.ticks_per_s;
            timeout.QuadPart = -(units > 0 ? units : 1);
            KeWaitForSingleObject(&drv_pend.wake, Executive, KernelMode, FALSE, &timeout);
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS drv_pend_start(void) {
    LARGE_INTEGER freq;
    NTSTATUS status;
    KeInitializeSpinLock(&drv_pend.lock);
    InitializeListHead(&drv_pend.queue);
    KeInitializeEvent(&drv_pend.wake, SynchronizationEvent, FALSE);
    drv_pend.stopping = FALSE;
    KeQueryPerformanceCounter(&freq);
    drv_pend.ticks_per_s = freq.QuadPart > 0 ? freq.QuadPart : 10000000LL;
    status = PsCreateSystemThread(&drv_pend.thread, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                  pend_worker, NULL);
    if (!NT_SUCCESS(status)) drv_pend.thread = NULL;
    return status;
}

void drv_pend_stop(void) {
    KIRQL irql;
    if (drv_pend.thread == NULL) return;
    KeAcquireSpinLock(&drv_pend.lock, &irql);
    drv_pend.stopping = TRUE;
    KeReleaseSpinLock(&drv_pend.lock, irql);
    KeSetEvent(&drv_pend.wake, IO_NO_INCREMENT, FALSE);
    ZwWaitForSingleObject(drv_pend.thread, FALSE, NULL);
    ZwClose(drv_pend.thread);
    drv_pend.thread = NULL;
}

/* A device's count that the queue's lock guards, read under it. */
static ULONG read_locked(const ULONG *field) {
    KIRQL irql;
    ULONG value;
    KeAcquireSpinLock(&drv_pend.lock, &irql);
    value = *field;
    KeReleaseSpinLock(&drv_pend.lock, irql);
    return value;
}

ULONG drv_pend_epoch(struct drv_sim *sim) { return read_locked(&sim->flushes); }

NTSTATUS drv_pend_queue(struct drv_sim *sim, PIRP irp, ULONG wait_ms, ULONG epoch) {
    KIRQL irql;
    BOOLEAN now = FALSE;
    LONGLONG due = wait_ms == DRV_PEND_NEVER
                       ? DUE_NEVER
                       : now_ticks() + (LONGLONG)wait_ms * drv_pend.ticks_per_s / 1000;

    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[CTX_SIM] = sim;
    irp->Tail.Overlay.DriverContext[CTX_DUE] = (PVOID)(ULONG_PTR)due;
    InitializeListHead(&irp->Tail.Overlay.ListEntry);

    KeAcquireSpinLock(&drv_pend.lock, &irql);
    ++sim->pended;
    IoSetCancelRoutine(irp, pend_cancel);
    if (!irp->Cancel && !drv_pend.stopping && sim->flushes == epoch) {
        InsertTailList(&drv_pend.queue, &irp->Tail.Overlay.ListEntry);
    } else if (IoSetCancelRoutine(irp, NULL) != NULL) {
        /* Cancelled before it was queued, unloading, or its plug ended
         * meanwhile (a flush that could not see it): ours to end. */
        now = TRUE;
    }
    /* Otherwise the cancel routine has it and completes it once we let go. */
    KeReleaseSpinLock(&drv_pend.lock, irql);

    if (now) {
        finish(irp, irp->Cancel);
    } else {
        KeSetEvent(&drv_pend.wake, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_PENDING;
}

void drv_pend_flush(struct drv_sim *sim, PFILE_OBJECT file, BOOLEAN cancel) {
    LIST_ENTRY taken;
    PLIST_ENTRY e, next_e;
    KIRQL irql;

    InitializeListHead(&taken);
    KeAcquireSpinLock(&drv_pend.lock, &irql);
    if (file == NULL) ++sim->flushes;
    for (e = drv_pend.queue.Flink; e != &drv_pend.queue; e = next_e) {
        PIRP irp = irp_of(e);
        next_e = e->Flink;
        if (sim_of(irp) != sim) continue;
        if (file != NULL && IoGetCurrentIrpStackLocation(irp)->FileObject != file) continue;
        take(irp, &taken);
    }
    KeReleaseSpinLock(&drv_pend.lock, irql);
    finish_all(&taken, cancel);
}

ULONG drv_pend_count(struct drv_sim *sim) {
    const LONG n = (LONG)read_locked((const ULONG *)&sim->pended);
    return n > 0 ? (ULONG)n : 0;
}

void drv_pend_drain(struct drv_sim *sim) {
    for (;;) {
        LARGE_INTEGER pause;
        drv_pend_flush(sim, NULL, FALSE);
        if (drv_pend_count(sim) == 0) return;
        /* One is being completed by another thread right now. */
        pause.QuadPart = -10000LL; /* 1 ms */
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}
