#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# /init of the test guest: brings up the kernel's USB stack and then takes
# orders from the host on the second serial port, one line each:
#   devices N          wait until N USB devices are enumerated and have
#                      their device nodes; answers "devices ok" or
#                      "devices failed COUNT"
#   run USER MODE      followed by one line, a shell command: sets every USB
#                      device node to MODE (octal, or - to leave them),
#                      runs the command as USER with no input, and answers
#                      "result STATUS OUTPUT_BYTES ERROR_BYTES" followed by
#                      the bytes of its standard output and standard error
#   driver             loads the camera's kernel webcam driver and the media
#                      modules it needs (/lib/modules/driver.order); answers
#                      "driver ok" or "driver failed MODULE"
#   bound N [SECONDS]  waits, at most SECONDS (default 30), until N USB
#                      interfaces are bound to that driver and N video device
#                      nodes exist; answers "bound ok" or
#                      "bound failed INTERFACES NODES"
#   poweroff           switches the guest off
# What it is doing goes to the console (ttyS0 on the PC, ttyAMA0 on the
# arm64 virt board), so that a host that loses
# the guest can show where it was.
export PATH=/bin:/sbin:/usr/bin:/usr/sbin

say() {
    echo "init: $*"
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(cat /lib/modules/insmod.order); do
    insmod "$module" || say "cannot load $module"
done

host=/dev/ttyS1
# Raw, so bytes pass both ways unchanged.
stty -F "$host" raw -echo
exec 3<>"$host"

# USB devices other than root hubs that are configured and have a node.
ready_devices() {
    count=0
    for device in /sys/bus/usb/devices/*; do
        [ -e "$device/idVendor" ] || continue
        case "${device##*/}" in usb*) continue ;; esac
        [ "$(cat "$device/bConfigurationValue" 2>/dev/null)" = 1 ] || continue
        # A device unplugged since the check above has no numbers left.
        busnum=$(cat "$device/busnum" 2>/dev/null) || continue
        devnum=$(cat "$device/devnum" 2>/dev/null) || continue
        node=$(printf '/dev/bus/usb/%03d/%03d' "$busnum" "$devnum")
        [ -e "$node" ] && count=$((count + 1))
    done
    echo "$count"
}

# Seconds since boot. The waits below end by the clock, not after a count
# of tries: under TCG one look at sysfs (a dozen processes) costs far more
# than the pause between looks, so a count of tries would outlast the
# host's answer limit, and the host would take a guest that still works
# for lost.
uptime_seconds() {
    read -r up _ </proc/uptime
    echo "${up%%.*}"
}

wait_for_devices() {
    say "waiting for $1 USB devices"
    deadline=$(($(uptime_seconds) + 20))
    while [ "$(ready_devices)" != "$1" ]; do
        if [ "$(uptime_seconds)" -ge "$deadline" ]; then
            say "only $(ready_devices) USB devices after 20 s"
            echo "devices failed $(ready_devices)" >&3
            return
        fi
        sleep 0.05
    done
    echo "devices ok" >&3
}

load_driver() {
    # An image built before the driver was in it has no list.
    if [ ! -s /lib/modules/driver.order ]; then
        say "no /lib/modules/driver.order in this image"
        echo "driver failed driver.order" >&3
        return
    fi
    for module in $(cat /lib/modules/driver.order); do
        if ! insmod "$module"; then
            say "cannot load $module"
            echo "driver failed ${module##*/}" >&3
            return
        fi
    done
    say "webcam driver loaded"
    echo "driver ok" >&3
}

# The camera driver's name in sysfs, as its module registers it.
camera_driver=ov519

bound_interfaces() {
    count=0
    for link in /sys/bus/usb/devices/*:*/driver; do
        target=$(readlink "$link" 2>/dev/null) || continue
        [ "${target##*/}" = "$camera_driver" ] && count=$((count + 1))
    done
    echo "$count"
}

video_nodes() {
    count=0
    for node in /dev/video*; do
        [ -c "$node" ] && count=$((count + 1))
    done
    echo "$count"
}

# The driver probes each camera for about 5 s after it is plugged.
wait_for_binding() {
    say "waiting for $1 cameras bound to $camera_driver"
    deadline=$(($(uptime_seconds) + $2))
    while [ "$(bound_interfaces)" != "$1" ] || [ "$(video_nodes)" != "$1" ]; do
        if [ "$(uptime_seconds)" -ge "$deadline" ]; then
            say "after $2 s: $(bound_interfaces) interfaces bound, $(video_nodes) video nodes"
            echo "bound failed $(bound_interfaces) $(video_nodes)" >&3
            return
        fi
        sleep 0.05
    done
    echo "bound ok" >&3
}

run_command() {
    user=$1
    mode=$2
    command=$3
    say "run as $user, device nodes at $mode: $command"
    if [ "$mode" != - ]; then
        chmod "$mode" /dev/bus/usb/*/*
    fi
    if [ "$user" = root ]; then
        sh -c "$command" </dev/null >/tmp/output 2>/tmp/errors
    else
        su -s /bin/sh "$user" -c "$command" </dev/null >/tmp/output 2>/tmp/errors
    fi
    status=$?
    say "exit status $status"
    echo "result $status $(wc -c </tmp/output) $(wc -c </tmp/errors)" >&3
    cat /tmp/output /tmp/errors >&3
}

say "ready"
echo "ready $(uname -r)" >&3
while read -r verb first second <&3; do
    case "$verb" in
        devices) wait_for_devices "$first" ;;
        driver) load_driver ;;
        bound) wait_for_binding "$first" "${second:-30}" ;;
        run)
            read -r command <&3
            run_command "$first" "$second" "$command"
            ;;
        poweroff)
            say "power off"
            break
            ;;
        *) echo "unknown $verb" >&3 ;;
    esac
done
poweroff -f
