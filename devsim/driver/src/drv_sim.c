/* Plugging simulated devices in and out at run time, and counting the
 * handles open on each so that an unplugged device object outlives its
 * last handle and no longer. Threads and locks: see drv.h. */
#include "drv.h"

/* prefix + decimal index [+ "_" + decimal generation], NUL-terminated. */
static void make_name(UNICODE_STRING *out, WCHAR *buf, USHORT cap_chars, const WCHAR *prefix,
                      ULONG index, ULONG generation) {
    USHORT n = 0;
    ULONG parts[2], part_count = generation != 0 ? 2 : 1, p;
    parts[0] = index;
    parts[1] = generation;
    while (*prefix != 0 && n + 1 < cap_chars) buf[n++] = *prefix++;
    for (p = 0; p < part_count; ++p) {
        WCHAR digits[10];
        int d = 0;
        ULONG v = parts[p];
        if (p > 0 && n + 1 < cap_chars) buf[n++] = L'_';
        do {
            digits[d++] = (WCHAR)(L'0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (d > 0 && n + 1 < cap_chars) buf[n++] = digits[--d];
    }
    buf[n] = 0;
    out->Buffer = buf;
    out->Length = (USHORT)(n * sizeof(WCHAR));
    out->MaximumLength = (USHORT)(cap_chars * sizeof(WCHAR));
}

struct drv_sim *drv_sim_find(ULONG index) {
    if (index >= DEVSIM_MAX_DEVICES || drv_table.sim[index] == NULL) return NULL;
    return (struct drv_sim *)drv_table.sim[index]->DeviceExtension;
}

NTSTATUS drv_sim_add(ULONG index, const struct devsim_config *config) {
    WCHAR name_buf[48];
    UNICODE_STRING name;
    PDEVICE_OBJECT device = NULL;
    struct drv_sim *sim;
    NTSTATUS status;

    if (index >= DEVSIM_MAX_DEVICES) return STATUS_INVALID_PARAMETER;
    if (drv_table.sim[index] != NULL) return STATUS_OBJECT_NAME_COLLISION;

    make_name(&name, name_buf, 48, DEVSIM_DEVICE_PREFIX, index, 0);
    status = IoCreateDevice(drv_table.driver, sizeof(struct drv_sim), &name, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, TRUE, &device);
    if (status == STATUS_OBJECT_NAME_COLLISION) {
        /* An unplugged device at this index lingers until its last handle
         * closes; the new one takes a name of its own behind the same link. */
        make_name(&name, name_buf, 48, DEVSIM_DEVICE_PREFIX, index, ++drv_table.generation);
        status = IoCreateDevice(drv_table.driver, sizeof(struct drv_sim), &name,
                                FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, TRUE, &device);
    }
    if (!NT_SUCCESS(status)) return status;

    sim = (struct drv_sim *)device->DeviceExtension;
    RtlZeroMemory(sim, sizeof(*sim));
    sim->kind = DRV_KIND_SIM;
    sim->index = index;
    KeInitializeSpinLock(&sim->lock);
    devsim_init(&sim->model, config);
    RtlCopyMemory(sim->name_buf, name_buf, sizeof(sim->name_buf));
    sim->name = name;
    sim->name.Buffer = sim->name_buf;
    make_name(&sim->link, sim->link_buf, 40, DEVSIM_LINK_PREFIX, index, 0);

    status = IoCreateSymbolicLink(&sim->link, &sim->name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    drv_table.sim[index] = device;
    return STATUS_SUCCESS;
}

NTSTATUS drv_sim_remove(ULONG index) {
    PDEVICE_OBJECT device;
    struct drv_sim *sim;
    KIRQL irql;

    if (index >= DEVSIM_MAX_DEVICES) return STATUS_INVALID_PARAMETER;
    device = drv_table.sim[index];
    if (device == NULL) return STATUS_OBJECT_NAME_NOT_FOUND;
    sim = (struct drv_sim *)device->DeviceExtension;

    /* The name goes first, so no new open can find the device. */
    if (!sim->pulled) IoDeleteSymbolicLink(&sim->link);
    KeAcquireSpinLock(&sim->lock, &irql);
    sim->gone = TRUE;
    KeReleaseSpinLock(&sim->lock, irql);
    drv_table.sim[index] = NULL;
    drv_pend_flush(sim, NULL, FALSE); /* they fail: the device has gone */
    if (sim->open_count == 0) drv_sim_delete(device);
    return STATUS_SUCCESS;
}

void drv_sim_delete(PDEVICE_OBJECT device) {
    drv_pend_drain((struct drv_sim *)device->DeviceExtension);
    IoDeleteDevice(device);
}

void drv_sim_pull(struct drv_sim *sim) {
    KIRQL irql;
    BOOLEAN pull;
    drv_lock_table();
    KeAcquireSpinLock(&sim->lock, &irql);
    /* A replug since the power failed restarted the model: nothing to pull. */
    pull = !sim->gone && !sim->pulled && sim->model.powered == 0;
    if (pull) {
        ++sim->plug; /* handles of the plug that ends now die */
        sim->pulled = TRUE;
    }
    KeReleaseSpinLock(&sim->lock, irql);
    if (pull) IoDeleteSymbolicLink(&sim->link);
    drv_unlock_table();
}

NTSTATUS drv_sim_replug(ULONG index) {
    struct drv_sim *sim = drv_sim_find(index);
    NTSTATUS status;
    KIRQL irql;

    if (index >= DEVSIM_MAX_DEVICES) return STATUS_INVALID_PARAMETER;
    if (sim == NULL) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!sim->pulled) IoDeleteSymbolicLink(&sim->link);
    KeAcquireSpinLock(&sim->lock, &irql);
    if (!sim->pulled) ++sim->plug; /* handles of the plug that ends now die */
    sim->pulled = TRUE;
    devsim_replug(&sim->model);
    KeReleaseSpinLock(&sim->lock, irql);
    drv_pend_flush(sim, NULL, FALSE); /* reads of the old plug fail */

    status = IoCreateSymbolicLink(&sim->link, &sim->name);
    if (!NT_SUCCESS(status)) return status; /* stays pulled out; replug may be tried again */
    KeAcquireSpinLock(&sim->lock, &irql);
    sim->pulled = FALSE;
    KeReleaseSpinLock(&sim->lock, irql);
    return STATUS_SUCCESS;
}

void drv_sim_remove_all(void) {
    ULONG i;
    for (i = 0; i < DEVSIM_MAX_DEVICES; ++i)
        if (drv_table.sim[i] != NULL) drv_sim_remove(i);
}

NTSTATUS drv_sim_create(struct drv_sim *sim, PFILE_OBJECT file) {
    NTSTATUS status = STATUS_SUCCESS;
    drv_lock_table();
    if (sim->gone || sim->pulled) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (file == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        /* Marks the handle as counted: a host may keep a handle whose
         * create we refused, and its close must not be counted. The plug
         * it belongs to ends with the next pull-out. */
        file->FsContext = sim;
        file->FsContext2 = (PVOID)(ULONG_PTR)sim->plug;
        ++sim->open_count;
    }
    drv_unlock_table();
    return status;
}

BOOLEAN drv_sim_close(struct drv_sim *sim, PFILE_OBJECT file) {
    BOOLEAN delete_now = FALSE;
    drv_lock_table();
    if (file != NULL && file->FsContext == sim && sim->open_count > 0) {
        file->FsContext = NULL;
        --sim->open_count;
        delete_now = sim->gone && sim->open_count == 0;
    }
    drv_unlock_table();
    return delete_now;
}
