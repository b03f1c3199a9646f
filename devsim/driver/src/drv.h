/* Shared state of the simulated-device driver (kernel mode, C).
 *
 * Threads: every dispatch routine runs at PASSIVE_LEVEL in whatever thread
 * the I/O manager sends the request from; requests on different handles may
 * run at the same time. Two locks:
 *   - drv_table.mutex (KMUTEX, stays at PASSIVE_LEVEL): the index table,
 *     every sim device's open_count and gone flag, and device creation and
 *     deletion. Held by create, close and every control request.
 *   - drv_sim.lock (spin lock, one per device): the model record and
 *     delay_ms; also written under it: gone. Taken after the mutex, never
 *     the other way round, and never held across a wait.
 * A sim device object lives while it is in the table or has counted open
 * handles; the last of the two to go deletes it. */
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
    BOOLEAN gone;     /* unplugged: no further create or I/O */
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
    PDEVICE_OBJECT sim[DEVSIM_MAX_DEVICES]; /* plugged-in devices only */
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
/* The plugged-in device at index, or NULL. */
struct drv_sim *drv_sim_find(ULONG index);
/* Create and close on a sim device (take the table mutex themselves).
 * Close returns TRUE when the caller must delete the device object after
 * completing the request. */
NTSTATUS drv_sim_create(struct drv_sim *sim, PFILE_OBJECT file);
BOOLEAN drv_sim_close(struct drv_sim *sim, PFILE_OBJECT file);

/* drv_io.c: one command per write, its answer per read. */
NTSTATUS drv_sim_write(struct drv_sim *sim, PIRP irp);
NTSTATUS drv_sim_read(struct drv_sim *sim, PIRP irp);

/* drv_ctl.c: requests on the control device. */
NTSTATUS drv_ctl_ioctl(PIRP irp);

#endif /* DRV_H */
