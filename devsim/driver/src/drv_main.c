/* Driver entry, unload and the dispatch table: routes each request to the
 * control device or to a simulated device by the extension's kind.
 * Threads: see drv.h. */
#include "drv.h"

DRIVER_INITIALIZE DriverEntry;
static DRIVER_UNLOAD driver_unload;
static DRIVER_DISPATCH dispatch_create;
static DRIVER_DISPATCH dispatch_cleanup;
static DRIVER_DISPATCH dispatch_close;
static DRIVER_DISPATCH dispatch_read;
static DRIVER_DISPATCH dispatch_write;
static DRIVER_DISPATCH dispatch_ioctl;
static DRIVER_DISPATCH dispatch_other;

struct drv_table_t drv_table;

void drv_lock_table(void) {
    KeWaitForSingleObject(&drv_table.mutex, Executive, KernelMode, FALSE, NULL);
}

void drv_unlock_table(void) { KeReleaseMutex(&drv_table.mutex, FALSE); }

NTSTATUS drv_complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static struct drv_sim *as_sim(PDEVICE_OBJECT device) {
    struct drv_sim *sim = (struct drv_sim *)device->DeviceExtension;
    return (sim != NULL && sim->kind == DRV_KIND_SIM) ? sim : NULL;
}

static NTSTATUS NTAPI dispatch_create(PDEVICE_OBJECT device, PIRP irp) {
    struct drv_sim *sim = as_sim(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sim == NULL) return drv_complete(irp, STATUS_SUCCESS, 0);
    return drv_complete(irp, drv_sim_create(sim, sp->FileObject), 0);
}

static NTSTATUS NTAPI dispatch_close(PDEVICE_OBJECT device, PIRP irp) {
    struct drv_sim *sim = as_sim(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    BOOLEAN delete_now = FALSE;
    if (sim != NULL) {
        /* Wine sends no cleanup request: close comes with the last handle,
         * even while a read of it is held back. */
        drv_pend_flush(sim, sp->FileObject, TRUE);
        delete_now = drv_sim_close(sim, sp->FileObject);
    }
    drv_complete(irp, STATUS_SUCCESS, 0);
    /* The last handle of an unplugged device: nothing can reach it now. */
    if (delete_now) drv_sim_delete(device);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI dispatch_read(PDEVICE_OBJECT device, PIRP irp) {
    struct drv_sim *sim = as_sim(device);
    if (sim == NULL) return drv_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return drv_sim_read(sim, irp);
}

static NTSTATUS NTAPI dispatch_write(PDEVICE_OBJECT device, PIRP irp) {
    struct drv_sim *sim = as_sim(device);
    if (sim == NULL) return drv_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return drv_sim_write(sim, irp);
}

static NTSTATUS NTAPI dispatch_ioctl(PDEVICE_OBJECT device, PIRP irp) {
    if (as_sim(device) != NULL) return drv_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return drv_ctl_ioctl(irp);
}

/* Sent when the last handle to a file object closes: its delayed reads end
 * (cancelled); the rest of the work is in close. */
static NTSTATUS NTAPI dispatch_cleanup(PDEVICE_OBJECT device, PIRP irp) {
    struct drv_sim *sim = as_sim(device);
    if (sim != NULL) drv_pend_flush(sim, IoGetCurrentIrpStackLocation(irp)->FileObject, TRUE);
    return drv_complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatch_other(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return drv_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static void NTAPI driver_unload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    drv_lock_table();
    drv_sim_remove_all();
    drv_unlock_table();
    /* Every delayed read still queued (of devices that lingered behind open
     * handles) fails now; then no thread of ours runs any more. */
    drv_pend_stop();
    RtlInitUnicodeString(&link, DEVSIM_CTL_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    /* What is left: the control device and unplugged devices that still
     * had handles open. */
    while (driver->DeviceObject != NULL) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    UNICODE_STRING name, link;
    PDEVICE_OBJECT ctl = NULL;
    NTSTATUS status;
    ULONG i;
    (void)registry_path;

    KeInitializeMutex(&drv_table.mutex, 0);
    drv_table.driver = driver;
    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = dispatch_other;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_cleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
    driver->MajorFunction[IRP_MJ_READ] = dispatch_read;
    driver->MajorFunction[IRP_MJ_WRITE] = dispatch_write;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_ioctl;
    driver->DriverUnload = driver_unload;

    status = drv_pend_start();
    if (!NT_SUCCESS(status)) return status;

    RtlInitUnicodeString(&name, DEVSIM_CTL_DEVICE_NAME);
    status = IoCreateDevice(driver, sizeof(struct drv_ctl), &name, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &ctl);
    if (!NT_SUCCESS(status)) goto failed;
    ((struct drv_ctl *)ctl->DeviceExtension)->kind = DRV_KIND_CTL;
    ctl->Flags |= DO_BUFFERED_IO;

    RtlInitUnicodeString(&link, DEVSIM_CTL_LINK_NAME);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) goto failed;
    ctl->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;

failed:
    if (ctl != NULL) IoDeleteDevice(ctl);
    drv_pend_stop();
    return status;
}
