/* Shared state of the simulated-device driver (kernel mode, C).
 *
 * Threads: every dispatch routine runs at PASSIVE_LEVEL in whatever thread
 * the I/O manager sends the request from (under Wine: one thread for every
 * request of the driver). Delayed reads are completed by the driver's own
 * system thread (drv_pend.c), a cancelled request by the canceller's thread.
 * Three locks:
 *   - drv_table.mutex (KMUTEX, stays at PASSIVE_LEVEL): the index table,
 *     every sim device's open_count, and device creation, deletion and
 *     (re)naming. Held by create, close and every control request.
 *   - drv_sim.lock (spin lock, one per device): the model record, delay_ms,
 *     plug, pulled and gone (these three written with the mutex held as
 *     well, so either lock is enough to read them).
 *   - drv_pend.lock (spin lock, drv_pend.c): the queue of held-back
 *     requests and every device's pended count.
 * Order: mutex, then one spin lock; the two spin locks are never held
 * together and no lock is held across a wait.
 * A sim device object lives while it is in the table or has counted open
 * handles; the last of the two to go deletes it, after waiting until no
 * held-back request of it is queued or being completed. */
#ifndef DRV_H
#define DRV_H

#include <ntddk.h>

#include "devsim_ioctl.h"
#include "devsim_model.h"

enum drv_kind { DRV_KIND_CTL = 0x43544C31, DRV_KIND_SIM = 0x53494D31 };

/* Device extension of a simulated device. */
struct drv_sim {
    ULONG kind; /* DRV_KIND_SIM */
    ULONG index;
    KSPIN_LOCK lock;
    ULONG delay_ms;
    ULONG open_count; /* handles whose create we accepted */
    ULONG plug;       /* bumped on every pull-out (mutex and spin lock held): handles of
                         an earlier plug fail */
    BOOLEAN pulled;   /* taken away by an interruption: no name, still in the table */
    BOOLEAN gone;     /* removed from the table: no further create or I/O */
    LONG pended;      /* held-back requests queued or being completed (drv_pend.lock) */
    ULONG flushes;    /* flushes of every handle's requests: plug ends and removal
                         (drv_pend.lock) */
    UNICODE_STRING name;
    WCHAR name_buf[48];
    UNICODE_STRING link;
    WCHAR link_buf[40];
    struct devsim_device model;
};

/* Device extension of the control device. */
struct drv_ctl {
    ULONG kind; /* DRV_KIND_CTL */
};

struct drv_table_t {
    KMUTEX mutex;
    PDRIVER_OBJECT driver;
    PDEVICE_OBJECT sim[DEVSIM_MAX_DEVICES]; /* plugged-in or pulled-out devices */
    ULONG generation;                       /* names devices that replace a lingering one */
};
extern struct drv_table_t drv_table;

void drv_lock_table(void);
void drv_unlock_table(void);

/* Completes the request with this status and byte count; returns status. */
NTSTATUS drv_complete(PIRP irp, NTSTATUS status, ULONG_PTR information);

/* drv_sim.c: plugging devices in and out. Table mutex held. */
NTSTATUS drv_sim_add(ULONG index, const struct devsim_config *config);
NTSTATUS drv_sim_remove(ULONG index);
void drv_sim_remove_all(void);
/* Pulls the device out if it is in, restarts it (devsim_replug) and gives
 * it its name again. */
NTSTATUS drv_sim_replug(ULONG index);
/* The device at index (plugged in or pulled out), or NULL. */
struct drv_sim *drv_sim_find(ULONG index);
/* After the model lost power inside a write: unless a replug or remove
 * came first, the plug ends (its handles die), the name goes and the device
 * stays in the table for read-back and replug. Takes the table mutex, so
 * no create can slip in between and join the plug that ends. */
void drv_sim_pull(struct drv_sim *sim);
/* Create and close on a sim device (take the table mutex themselves).
 * Close returns TRUE when the caller must delete the device object after
 * completing the request. */
NTSTATUS drv_sim_create(struct drv_sim *sim, PFILE_OBJECT file);
BOOLEAN drv_sim_close(struct drv_sim *sim, PFILE_OBJECT file);
/* Deletes a sim device object once no delayed read of it is left. */
void drv_sim_delete(PDEVICE_OBJECT device);

/* drv_io.c: one command per write, its answer per read. */
NTSTATUS drv_sim_write(struct drv_sim *sim, PIRP irp);
NTSTATUS drv_sim_read(struct drv_sim *sim, PIRP irp);
/* Completes a read with the device's answer now (or its failure when the
 * device or the handle's plug is gone); returns the status it completed
 * with. Any thread, no lock held. */
NTSTATUS drv_sim_answer(struct drv_sim *sim, PIRP irp);

/* drv_pend.c: held-back requests: delayed reads, completed by one system
 * thread when due, and hung reads and writes, which end only early. */
NTSTATUS drv_pend_start(void);
/* Completes every queued read at once (answered as due: they fail when
 * their device has gone) and ends the thread. Unload only. */
void drv_pend_stop(void);
/* Marks the request pending and queues it: a read to be answered after
 * wait_ms, or (DRV_PEND_NEVER) a read or write that hangs until it ends
 * early. Returns STATUS_PENDING. */
#define DRV_PEND_NEVER 0xFFFFFFFFu
/* epoch: drv_pend_epoch(sim) taken before the caller found the handle
 * usable; when the device's requests were flushed since, the plug has
 * ended and the request is completed at once, as due (so it fails). */
NTSTATUS drv_pend_queue(struct drv_sim *sim, PIRP irp, ULONG wait_ms, ULONG epoch);
ULONG drv_pend_epoch(struct drv_sim *sim);
/* Completes now the queued requests of this device (file NULL: every
 * handle of it), with STATUS_CANCELLED when cancel is set, otherwise as
 * due (so they fail when the device or their plug has gone; a hang fails
 * with STATUS_DEVICE_DOES_NOT_EXIST). */
void drv_pend_flush(struct drv_sim *sim, PFILE_OBJECT file, BOOLEAN cancel);
/* Requests of this device queued or being completed now. */
ULONG drv_pend_count(struct drv_sim *sim);
/* Waits (PASSIVE_LEVEL) until none of this device's requests is queued or
 * being completed; flushes the queued ones first. */
void drv_pend_drain(struct drv_sim *sim);

/* drv_ctl.c: requests on the control device. */
NTSTATUS drv_ctl_ioctl(PIRP irp);

#endif /* DRV_H */
