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
# Run with the argument `system` it serves the system guest instead, a
# Debian system whose unit camera-probe-host.service starts it after udev
# and logind (scripts/build-system-image). There udev sets the nodes' modes
# and loads the driver, so `run` refuses any MODE but - and `driver` is
# refused; users run through setpriv, which opens no logind session, and
# two orders wait for what the system does by itself:
#   session USER       waits until USER holds the active session on seat0;
#                      answers "session ok" or "session failed WHAT"
#   settle             waits until udev has handled every event; answers
#                      "settle ok" or "settle failed"
# What it is doing goes to the console (ttyS0 on the PC, ttyAMA0 on the
# arm64 virt board), so that a host that loses
# the guest can show where it was.
export PATH=/bin:/sbin:/usr/bin:/usr/sbin

say() {
    echo "init: $*"
}

system=false
if [ "${1:-}" = system ]; then
    system=true
    # The console is the kernel's: this runs as a service of the system.
    exec >/dev/console 2>&1
else
    mount -t proc proc /proc
    mount -t sysfs sysfs /sys
    mount -t devtmpfs devtmpfs /dev
    for module in $(cat /lib/modules/insmod.order); do
        insmod "$module" || say "cannot load $module"
    done
fi

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
    if $system; then
        say "refused: udev loads the driver in the system guest"
        echo "driver refused: udev loads the driver in the system guest" >&3
        return
    fi
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

# The system's own user, with its groups and home but no login: setpriv
# goes through no PAM, so logind opens no session for it.
run_as_system_user() {
    home=$(getent passwd "$1" | cut -d: -f6)
    (cd "$home" && setpriv --reuid="$1" --regid="$1" --init-groups --reset-env \
        sh -c "$2")
}

run_command() {
    user=$1
    mode=$2
    command=$3
    say "run as $user, device nodes at $mode: $command"
    if $system && [ "$mode" != - ]; then
        say "refused: udev sets the device nodes' modes in the system guest"
        echo "run refused: udev sets the device nodes' modes in the system guest" >&3
        return
    fi
    if [ "$mode" != - ]; then
        chmod "$mode" /dev/bus/usb/*/*
    fi
    if [ "$user" = root ]; then
        sh -c "$command" </dev/null >/tmp/output 2>/tmp/errors
    elif $system; then
        run_as_system_user "$user" "$command" </dev/null >/tmp/output 2>/tmp/errors
    else
        su -s /bin/sh "$user" -c "$command" </dev/null >/tmp/output 2>/tmp/errors
    fi
    status=$?
    say "exit status $status"
    echo "result $status $(wc -c </tmp/output) $(wc -c </tmp/errors)" >&3
    cat /tmp/output /tmp/errors >&3
}

# The session logind has made active on seat0, if it is USER's.
active_seat_session_of() {
    session=$(loginctl show-seat seat0 -p ActiveSession --value 2>/dev/null)
    [ -n "$session" ] &&
        [ "$(loginctl show-session "$session" -p Name --value 2>/dev/null)" = "$1" ] &&
        [ "$(loginctl show-session "$session" -p State --value 2>/dev/null)" = active ]
}

# Getty's autologin on tty1 comes up beside this service, under TCG some
# seconds later.
wait_for_session() {
    say "waiting for $1's session on seat0"
    deadline=$(($(uptime_seconds) + 90))
    until active_seat_session_of "$1"; do
        if [ "$(uptime_seconds)" -ge "$deadline" ]; then
            say "no active session of $1 on seat0 after 90 s"
            echo "session failed $(loginctl list-sessions --no-legend | tr -s ' \n' '  ')" >&3
            return
        fi
        sleep 0.2
    done
    echo "session ok" >&3
}

wait_for_udev() {
    if udevadm settle --timeout=60; then
        echo "settle ok" >&3
    else
        say "udev still busy after 60 s"
        echo "settle failed" >&3
    fi
}

say "ready"
echo "ready $(uname -r)" >&3
while read -r verb first second <&3; do
    case "$verb" in
        devices) wait_for_devices "$first" ;;
        driver) load_driver ;;
        bound) wait_for_binding "$first" "${second:-30}" ;;
        session) if $system; then wait_for_session "$first"; else echo "unknown $verb" >&3; fi ;;
        settle) if $system; then wait_for_udev; else echo "unknown $verb" >&3; fi ;;
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
if $system; then
    systemctl poweroff --force --force
fi
poweroff -f
