// SPDX-License-Identifier: MIT
// The ntoskrnl functions libusb0.sys imports that Wine 8 has only as stubs
// aborting winedevice.exe; linked before ntoskrnl, these three are taken from
// here. Each fails or does nothing, as the driver copes with on Windows;
// camera-probe's transfers never need them. No DDK header (it declares them
// dllimport); x86-64 has one calling convention.
typedef long NTSTATUS;
typedef void *HANDLE;

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)

// The driver stores its interface's "SymbolicName" value through this key
// and logs an error when it cannot open it; nothing reads the value back.
NTSTATUS IoOpenDeviceInterfaceRegistryKey(void *symbolic_link_name, unsigned long desired_access,
                                          HANDLE *device_interface_key) {
    (void)symbolic_link_name;
    (void)desired_access;
    *device_interface_key = 0;
    return STATUS_NOT_IMPLEMENTED;
}

// Power-state changes of the device: without an IRP the driver keeps its own
// record of the state and does not wait for a completion.
NTSTATUS PoRequestPowerIrp(void *device_object, unsigned char minor_function, int power_state,
                           void *completion_function, void *context, void **irp) {
    (void)device_object;
    (void)minor_function;
    (void)power_state;
    (void)completion_function;
    (void)context;
    if (irp != 0) {
        *irp = 0;
    }
    return STATUS_NOT_IMPLEMENTED;
}

// Used only to split large bulk transfers. Under Wine an MDL is a
// description of a virtual address range, and the driver has already
// allocated the target MDL for exactly the part it wants, so there is
// nothing left to build.
void IoBuildPartialMdl(void *source_mdl, void *target_mdl, void *virtual_address,
                       unsigned long length) {
    (void)source_mdl;
    (void)target_mdl;
    (void)virtual_address;
    (void)length;
}

// Loaded as an import of libusb0.sys; there is nothing to set up.
NTSTATUS DriverEntry(void *driver_object, void *registry_path) {
    (void)driver_object;
    (void)registry_path;
    return STATUS_SUCCESS;
}
