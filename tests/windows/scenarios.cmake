# SPDX-License-Identifier: MIT
# What camera-probe.exe prints and returns against the libusb0.dll double.
# Each scenario: <name>_SETUP, the double's scenario (see libusb0/scenario.cpp);
# <name>_STDOUT, standard output byte for byte, in text mode on Windows, so a
# line feed the tool prints arrives as CR LF; <name>_STATUS, the exit status.

set(ANNOUNCEMENT "-----> Camara TROBADA!! idVendor 05A9 - idProduct 2800")
set(READ "\r\nusb_control_msg() returned")

set(WINDOWS_SCENARIOS
  one_camera_among_decoys
  no_camera
  failed_bus_scan
  failed_device_scan
  stalled_read_carries_byte_into_second_camera
  camera_that_cannot_be_opened)

# Devices that share only the vendor or only the product ID are not probed.
set(one_camera_among_decoys_SETUP
  "bus; device 1d6b:0002; device 05a9:1234; device 046d:2800; bus; device 1d6b:0003; camera 0x00")
set(one_camera_among_decoys_STDOUT "${ANNOUNCEMENT}${READ} 1 -> 0x00${READ} 1 -> 0x15")
set(one_camera_among_decoys_STATUS 0)

set(no_camera_SETUP "bus; device 1d6b:0002; bus")
set(no_camera_STDOUT "")
set(no_camera_STATUS 0)

set(failed_bus_scan_SETUP "scan -1 1; bus; camera")
set(failed_bus_scan_STDOUT "No hi ha busos USB")
set(failed_bus_scan_STATUS -1)

set(failed_device_scan_SETUP "scan 0 -5; bus; camera")
set(failed_device_scan_STDOUT "No hi ha dispositius connectats als busos")
set(failed_device_scan_STATUS -1)

# The first camera's write does not take, so its last read (0x7e) differs
# from the value written; the second camera's stalled read still shows it.
set(stalled_read_carries_byte_into_second_camera_SETUP
  "bus; camera; reply 1 0x9a; reply 0; reply 1 0x7e; bus; camera 0x33; reply -32")
set(stalled_read_carries_byte_into_second_camera_STDOUT
  "${ANNOUNCEMENT}${READ} 1 -> 0x9a${READ} 1 -> 0x7e${ANNOUNCEMENT}${READ} -32 -> 0x7e${READ} 1 -> 0x15")
set(stalled_read_carries_byte_into_second_camera_STATUS 0)

set(camera_that_cannot_be_opened_SETUP "bus; camera; open-fails; camera 0x07")
set(camera_that_cannot_be_opened_STDOUT
  "${ANNOUNCEMENT}\r\nusb_open() failed${ANNOUNCEMENT}${READ} 1 -> 0x07${READ} 1 -> 0x15")
set(camera_that_cannot_be_opened_STATUS 0)
