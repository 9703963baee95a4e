"""Speed and memory of the volume table on a machine with many volumes.

Measures what a long-running host does over and over: forced refreshes of
the VolumeInfo table, IsFAT answers and the Win32 queries, and checks that
none of it leaves objects, memory or Win32 handles behind.

    PYTHONPATH=build/python python2.7 bench/volume_table.py [volumes] [rounds]
"""

import gc
import logging
import sys

import simwin
from windows import volumes

from measure import (FileHandle, make_machine, report_growth,
                     resident_kilobytes, timed, volume_name)


def make_machine_with_handle(volume_count):
    make_machine(volume_count)
    return simwin.open_handle(volume_name(volume_count - 1))


def main():
    volume_count = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    logging.getLogger("windows.volumes").setLevel(logging.WARNING)
    handle = FileHandle(make_machine_with_handle(volume_count))
    service = volumes.VolumeInfo()
    names = volumes._ListVolumeNames()

    def refresh():
        service.AllVolumeEntries(force_update=True)

    def is_fat():
        volumes.IsFAT(0x10000000, handle)

    def query_all():
        for name in names:
            volumes._GetVolumePathNamesForVolumeName(name)
            volumes.GetVolumeInformation(name)

    print("%d volumes, %d rounds" % (volume_count, rounds))
    refresh()  # warm up: interned identifiers, logger, regular expression
    gc.collect()
    before_objects = len(gc.get_objects())
    before_memory = resident_kilobytes()
    before_open = simwin.open_objects()

    timed("forced refresh of the table", refresh, rounds)
    timed("IsFAT, cached", is_fat, rounds * 100)
    timed("path names + volume information of every volume", query_all,
          rounds)

    gc.collect()
    failed = report_growth(before_objects, len(gc.get_objects()),
                           before_memory, resident_kilobytes())
    if simwin.open_objects() != before_open:
        print("Win32 objects left open: %r" % (simwin.open_objects(),))
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
