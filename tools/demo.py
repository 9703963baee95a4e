"""The main job of both modules on the embedded default machine.

Run with PYTHONPATH=build/python (`make demo` does that). The machine is the
Win32 test double's default laptop; the modules are the real ones, built
against the double.
"""

import logging
import sys
import threading
import time

import simwin

WAIT_SECONDS = 5.0


class FileHandle(object):
    """What the host hands IsFAT: an object whose `handle` is a Win32 handle."""

    def __init__(self, volume_name):
        self.handle = simwin.open_handle(volume_name)

    def close(self):
        simwin.close_handle(self.handle)


def human_size(size):
    for unit in ("B", "KB", "MB", "GB", "TB"):
        if size < 1024 or unit == "TB":
            return "%.1f %s" % (size, unit) if unit != "B" else "%d B" % size
        size /= 1024.0


def show_volume_table():
    from windows import volumes

    print("== Volumes reported by Windows (volumes._ListVolumeNames)")
    for name in volumes._ListVolumeNames():
        paths = volumes._GetVolumePathNamesForVolumeName(name)
        print("  %s  %s" % (name, ", ".join(paths) if paths else "(no mount point)"))

    print("")
    print("== The VolumeInfo table (VolumeInfo().AllVolumeEntries())")
    entries = volumes.VolumeInfo().AllVolumeEntries()
    row = "  %-18s %-17s %-20s %-6s %-12s %10s  %s"
    print(row % ("volume id", "mount point", "type", "fs", "label", "size", "IsFAT"))
    for volume_id in sorted(entries, key=lambda key: entries[key].mountpoint):
        entry = entries[volume_id]
        handle = FileHandle(entry.device_file)
        try:
            is_fat = volumes.IsFAT(entry.device_number, handle)
        finally:
            handle.close()
        print(row % (volume_id, entry.mountpoint, entry.device_type,
                     entry.filesystem, entry.label, human_size(entry.size),
                     is_fat))


class PrintingHandler(object):
    """The host's event handler: prints and keeps what the monitor pushes."""

    def __init__(self):
        self.events = []
        self.changed = threading.Condition()

    def Push(self, event):
        with self.changed:
            self.events.append(event)
            self.changed.notify_all()
        print("  handler.Push(%r)" % (event,))

    def wait_for(self, count):
        deadline = time.time() + WAIT_SECONDS
        with self.changed:
            while len(self.events) < count and time.time() < deadline:
                self.changed.wait(deadline - time.time())
        return len(self.events) >= count


def wait_for_monitor_window():
    deadline = time.time() + WAIT_SECONDS
    while time.time() < deadline:
        if any(window["class"] == u"DriveDeviceMonitor" for window in simwin.windows()):
            return True
        time.sleep(0.01)
    return False


def watch_a_usb_stick():
    from windows import plugwatch

    print("")
    print("== Drive monitor (plugwatch.DeviceMonitor on its own thread)")
    handler = PrintingHandler()
    monitor = plugwatch.DeviceMonitor(handler=handler)
    monitor.daemon = True
    monitor.start()
    if not wait_for_monitor_window():
        raise SystemExit("the monitor window did not appear")

    stick = u"\\\\?\\Volume{6f1d2c38-5b7e-11ee-8c99-0242ac120002}\\"
    print("  plugging a USB stick as G:")
    simwin.plug(stick, [u"G:\\"], label=u"BACKUP", serial=0x5A5A1234,
                filesystem=u"exFAT", drive_type=2, total_bytes=64 * 1024 ** 3)
    handler.wait_for(1)
    print("  unplugging it")
    simwin.unplug(stick)
    handler.wait_for(2)

    monitor.Stop()
    monitor.join(WAIT_SECONDS)
    if monitor.is_alive():
        raise SystemExit("the monitor did not stop")
    print("  monitor stopped cleanly")


def main():
    logging.basicConfig(level=logging.INFO, stream=sys.stdout,
                        format="  log %(name)s %(levelname)s: %(message)s")
    simwin.load_default_machine()
    simwin.record_calls(False)
    show_volume_table()
    watch_a_usb_stick()


if __name__ == "__main__":
    main()
