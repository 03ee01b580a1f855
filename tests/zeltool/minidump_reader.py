"""A minidump reader of the tests' own, from Microsoft's documented layout
(minidumpapiset.h): the header, the stream directory, and the exception,
thread-list and module-list streams with their MINIDUMP_STRING names."""

import struct

SIGNATURE = b"MDMP"
THREAD_LIST_STREAM = 3
MODULE_LIST_STREAM = 4
EXCEPTION_STREAM = 6

# MINIDUMP_HEADER: Signature, Version, NumberOfStreams, StreamDirectoryRva,
# CheckSum, TimeDateStamp, Flags.
HEADER = struct.Struct("<4sIIIIIQ")
# MINIDUMP_DIRECTORY: StreamType, then MINIDUMP_LOCATION_DESCRIPTOR (DataSize, Rva).
DIRECTORY = struct.Struct("<III")
# MINIDUMP_EXCEPTION_STREAM: ThreadId, alignment, then MINIDUMP_EXCEPTION:
# ExceptionCode, ExceptionFlags, ExceptionRecord, ExceptionAddress,
# NumberParameters, alignment, ExceptionInformation[15]; then ThreadContext.
EXCEPTION = struct.Struct("<IIIIQQII15QII")
# MINIDUMP_THREAD: ThreadId, SuspendCount, PriorityClass, Priority, Teb,
# Stack (StartOfMemoryRange, DataSize, Rva), ThreadContext (DataSize, Rva).
THREAD = struct.Struct("<IIIIQQIIII")
# MINIDUMP_MODULE (packed to 4): BaseOfImage, SizeOfImage, CheckSum,
# TimeDateStamp, ModuleNameRva, VS_FIXEDFILEINFO (13 DWORDs), CvRecord,
# MiscRecord, Reserved0, Reserved1.
MODULE = struct.Struct("<QIIII52s8s8sQQ")


class Minidump:
    def __init__(self, data):
        self.data = data
        signature, _, count, directory, _, _, _ = HEADER.unpack_from(data, 0)
        if signature != SIGNATURE:
            raise ValueError("not a minidump: signature %r" % signature)
        self.streams = {}
        for index in range(count):
            kind, size, rva = DIRECTORY.unpack_from(data, directory + index * DIRECTORY.size)
            if rva + size > len(data):
                raise ValueError("stream %d runs past the end of the file" % kind)
            self.streams.setdefault(kind, (rva, size))

    def stream(self, kind):
        if kind not in self.streams:
            raise KeyError("no stream of type %d" % kind)
        return self.streams[kind][0]

    def exception(self):
        """(thread id, exception code, exception address)"""
        fields = EXCEPTION.unpack_from(self.data, self.stream(EXCEPTION_STREAM))
        return fields[0], fields[2], fields[5]

    def thread_ids(self):
        rva = self.stream(THREAD_LIST_STREAM)
        (count,) = struct.unpack_from("<I", self.data, rva)
        return [THREAD.unpack_from(self.data, rva + 4 + i * THREAD.size)[0] for i in range(count)]

    def string(self, rva):
        (length,) = struct.unpack_from("<I", self.data, rva)
        return self.data[rva + 4:rva + 4 + length].decode("utf-16-le")

    def module_names(self):
        rva = self.stream(MODULE_LIST_STREAM)
        (count,) = struct.unpack_from("<I", self.data, rva)
        return [self.string(MODULE.unpack_from(self.data, rva + 4 + i * MODULE.size)[4]) for i in range(count)]
