#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/<target>/.

The seeds are small, well-formed inputs of each format, so a fuzzer starts from the paths
real traffic and real files take instead of having to find the framing on its own. The
generated files are committed; run this again only after a format changes (and then look
at the diff). Byte layouts: server/net/*_protocol.h, server/store/alarm_object_format.h,
historic_format.h, user_names.h, server/redundancy/redundancy_protocol.h.
"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
REPO = os.path.dirname(os.path.dirname(HERE))
NOW = 1700000000  # a fixed local timestamp, so the seeds never change on their own


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    assert len(data) < 20 * 1024, (target, name, len(data))
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def frame(packet_type, payload):
    return struct.pack("<II", len(payload), packet_type) + payload


def i32(v):
    return struct.pack("<i", v)


def u16(v):
    return struct.pack("<H", v)


def text(s, size):
    b = s.encode("latin-1")[: size - 1]
    return b + b"\0" * (size - len(b))


# --- the Alarm Source protocol: zero-terminated text fields ---------------------------

def fields(*values):
    return b"".join(str(v).encode("latin-1") + b"\0" for v in values)


SRC_IDENTIFY, SRC_REFRESH_BEGIN, SRC_OBJECT, SRC_REFRESH_END = 0x7100, 0x7200, 0x7210, 0x7220
SRC_OBJECT_REMOVED, SRC_EVENT, SRC_STATUS, SRC_KEEPALIVE = 0x7230, 0x7280, 0x7300, 0x6000


def source_event(event_type, handle, tag, **more):
    # Field order of an object or event packet, after type, handle and tag.
    order = ["forced", "name", "description", "area", "category", "privilege", "smallcomment",
             "help", "sumstate", "inactivetime", "inactivems", "activetime", "activems",
             "ackedtime", "ackedms", "disabledtime", "disabledms", "disabledexpire"]
    order += ["custom%d" % i for i in range(1, 9)]
    order += ["paging", "paginggrp", "lastackedby", "lastdisabledby", "lastenabledby"]
    values = [event_type, handle, tag] + [more.get(k, "") for k in order]
    while values and values[-1] == "":
        values.pop()
    return fields(*values)


def source_seeds():
    t = "source_packets"
    identify = frame(SRC_IDENTIFY, fields("12290", "12291", "Plant"))
    events = (frame(SRC_EVENT, source_event(1, 101, "TI-101", name="Boiler temperature",
                                            description="High", area=3, category=2,
                                            activetime=NOW, activems=250))
              + frame(SRC_EVENT, source_event(2, 101, "TI-101", ackedtime=NOW + 5,
                                              lastackedby="operator"))
              + frame(SRC_EVENT, source_event(0, 101, "TI-101", inactivetime=NOW + 9))
              + frame(SRC_STATUS, fields(1)))
    write(t, "identify_and_events", identify + events)
    write(t, "events", events)
    refresh = (frame(SRC_REFRESH_BEGIN, fields(1, 0, 1))
               + frame(SRC_OBJECT, source_event(-1, 201, "PT-201", name="Pressure", area=1))
               + frame(SRC_OBJECT, source_event(1, 0, "LS-202", forced=1, sumstate="on"))
               + frame(SRC_REFRESH_END, b"")
               + frame(SRC_OBJECT_REMOVED, fields(201, "PT-201"))
               + frame(SRC_OBJECT_REMOVED, fields(0, "LS-202")))
    write(t, "refresh", refresh)
    full = source_event(1, 7, "FULL-1", forced=-1, name="All fields", description="d", area=9,
                        category=8, privilege=7, smallcomment="sc", help="h", sumstate="on",
                        inactivetime=NOW - 9, inactivems=1, activetime=NOW, activems=2,
                        ackedtime=NOW + 1, ackedms=3, disabledtime=NOW + 2, disabledms=4,
                        disabledexpire=NOW + 3600, paging=1, paginggrp="group",
                        lastackedby="a", lastdisabledby="b", lastenabledby="c",
                        **{"custom%d" % i: "c%d" % i for i in range(1, 9)})
    write(t, "all_fields", frame(SRC_EVENT, full) + frame(SRC_EVENT, source_event(3, 7, "FULL-1"))
          + frame(SRC_EVENT, source_event(4, 7, "FULL-1")))
    write(t, "status_keepalive", frame(SRC_STATUS, fields(0)) + frame(SRC_KEEPALIVE, b"")
          + frame(SRC_STATUS, fields("null")))


# --- the client protocol: little-endian binary fields ---------------------------------

def s16(s):
    b = s.encode("latin-1")
    return u16(len(b)) + b


CL = dict(KEEPALIVE=0x0000, IDENTIFY=0x2000, ALARMSOURCE_ENABLE=0x2020, GET_ALL_ALARMS=0x4000,
          GET_ALARMS=0x4001, ACK=0x4010, DISABLE=0x4020, ENABLE=0x4021, INACTIVATE=0x4040,
          ACTIVATE=0x4041, REMOVE=0x4042, GET_STATISTICS=0x4100, CLEAR_STATISTICS=0x4101,
          GET_HISTORY=0x4200, GET_FILE=0x4901, GET_COMMONFILTERS=0x4A00,
          SET_COMMONFILTER=0x4A10, DELETE_COMMONFILTER=0x4A11, GET_COMMENT=0x4D00,
          SET_COMMENT=0x4D01, SET_SMALLCOMMENT=0x4D02, EXECUTE=0x5000, SUBSCRIBE=0x6010,
          UNSUBSCRIBE=0x6011)

PLANT = 0x01000000  # handle of the plant's record 0 (source index 1)


def client_seeds():
    t = "client_packets"
    identify = frame(CL["IDENTIFY"], i32(5) + s16("operator"))
    get_alarms = frame(CL["GET_ALARMS"], s16("") + s16("") + i32(-1) + i32(2) + i32(0) + i32(1))
    ack = frame(CL["ACK"], i32(PLANT) + s16("operator") + s16("seen it"))
    write(t, "identify_get_alarms_ack", identify + get_alarms + ack)
    commands = (frame(CL["GET_ALL_ALARMS"], s16("TI*") + s16("") + i32(-1) + i32(1) + i32(1))
                + frame(CL["DISABLE"], i32(PLANT + 1) + s16("operator") + s16("maintenance") + i32(600))
                + frame(CL["ENABLE"], i32(PLANT + 3) + s16("operator") + s16(""))
                + frame(CL["INACTIVATE"], i32(PLANT + 2) + s16("operator") + s16(""))
                + frame(CL["ACTIVATE"], i32(PLANT + 2) + s16("operator") + s16(""))
                + frame(CL["REMOVE"], i32(PLANT + 2) + s16("operator") + s16(""))
                + frame(CL["ACK"], i32(0) + s16("operator") + s16("system alarm")))
    write(t, "commands", identify + commands)
    write(t, "statistics", identify + frame(CL["GET_STATISTICS"], i32(0) + i32(-1) + s16("") + s16(""))
          + frame(CL["GET_STATISTICS"], i32(0) + i32(PLANT) + s16("") + s16(""))
          + frame(CL["CLEAR_STATISTICS"], i32(PLANT)))
    write(t, "history", identify + frame(CL["GET_HISTORY"], i32(-1) + i32(-1) + s16("") + s16("")
                                         + i32(1) + i32(0) + i32(0))
          + frame(CL["GET_HISTORY"], i32(1) + i32(PLANT) + s16("TI*") + s16("1") + i32(1)
                  + i32(NOW - 86400) + i32(NOW + 86400)))
    write(t, "files_and_filters", identify + frame(CL["GET_FILE"], s16("CommonFilters.ini"))
          + frame(CL["GET_FILE"], s16("Plant\\AlarmObjects.dat"))
          + frame(CL["GET_COMMONFILTERS"], b"")
          + frame(CL["SET_COMMONFILTER"], s16("Pumps") + s16("P-*"))
          + frame(CL["DELETE_COMMONFILTER"], s16("Boilers") + s16("")))
    write(t, "comments", identify + frame(CL["GET_COMMENT"], i32(PLANT) + s16("TI-101"))
          + frame(CL["SET_COMMENT"], i32(PLANT) + s16("TI-101") + s16("ignored path")
                  + i32(11) + b"new comment")
          + frame(CL["SET_SMALLCOMMENT"], i32(PLANT) + s16("short")))
    write(t, "subscriptions", frame(CL["IDENTIFY"], i32(4) + s16("panel"))
          + frame(CL["SUBSCRIBE"], i32(1) + s16("Plant") + s16("TI") + s16("*"))
          + frame(CL["SUBSCRIBE"], i32(2) + s16("Plant") + s16("F") + s16("V|-V-4"))
          + frame(CL["UNSUBSCRIBE"], i32(2)) + frame(CL["KEEPALIVE"], b""))
    write(t, "unidentified_enable", frame(CL["GET_ALARMS"], s16("") + s16("") + i32(-1) + i32(0))
          + frame(CL["ALARMSOURCE_ENABLE"], i32(1) + i32(0))
          + frame(CL["ALARMSOURCE_ENABLE"], i32(1) + i32(1)))
    write(t, "identify_kinds", frame(CL["IDENTIFY"], i32(1)) + frame(CL["EXECUTE"], b""))


# --- alarm object records -----------------------------------------------------------

def alarm_record(tag, record, state=0, in_use=1, handle=0):
    r = bytearray(2808)

    def put(offset, fmt, value):
        struct.pack_into(fmt, r, offset, value)

    def put_text(offset, size, s):
        r[offset:offset + size] = text(s, size)

    put_text(4, 80, tag)
    put_text(84, 80, "Name of " + tag)
    put_text(164, 128, "Description of " + tag)
    put_text(340, 16, "on")
    put_text(356, 64, "Help")
    put(420, "<i", 1)             # Area
    put(424, "<i", 2)             # Category
    put(432, "<I", handle)        # SCADAHandle
    put(436, "<i", record)        # FileRecord
    put(444, "<q", NOW)           # ActiveTime
    put(452, "<q", NOW - 60)      # InActiveTime
    put_text(484, 64, "operator")  # LastAckedBy
    put(688, "<i", state)         # State
    put(692 + 4 * 3, "<i", 2)     # StatHours[3]
    put(788, "<i", 5)             # StatDays[0]
    put(1148, "<i", 9)            # StatTotal
    put(1176, "<q", NOW)          # LastChangeTime
    put_text(1184, 64, "custom one")
    put(1780, "<i", 1)            # LastEventType
    put(1792, "<i", in_use)       # InUse
    put(1796, "<q", NOW)          # LastEventTime
    put_text(1808, 100, "small comment")
    return bytes(r)


def alarm_file(version, records, record_size):
    header = struct.pack("<IIIq", version, len(records), 1, NOW) + b"\0" * (1024 - 20)
    return header + b"".join(r[:record_size] for r in records)


def alarm_file_seeds():
    t = "alarm_file_loader"
    records = [alarm_record("TI-101", 0, state=1, handle=101),
               alarm_record("PT-202", 1, state=4096, in_use=0, handle=202)]
    raw = b"\xc0"  # the file as it is
    write(t, "version_1005_two_records", raw + alarm_file(0x1005, records, 2808))
    # Option bytes below 0xC0 put 0x1002 + option % 4 over the version.
    write(t, "version_1004_two_records", b"\x02" + alarm_file(0x1004, records, 2804))
    write(t, "version_1003_one_record", b"\x01" + alarm_file(0x1003, records[:1], 1404))
    write(t, "version_1002_one_record", b"\x00" + alarm_file(0x1002, records[:1], 1156))
    write(t, "version_1005_count_too_high", raw + alarm_file(0x1005, records, 2808)[:4]
          + struct.pack("<I", 5) + alarm_file(0x1005, records, 2808)[8:])
    write(t, "header_only", raw + alarm_file(0x1005, [], 2808))


# --- day files and user names -------------------------------------------------------

def day_record(record, time, tag, type_, user=-1, comment=-1, ms=0, area=1):
    return (struct.pack("<iq", record, time) + text(tag, 80)
            + struct.pack("<ihHhi", area, type_, ms, user, comment))


def day_file(version, records):
    return struct.pack("<ii", version, len(records)) + b"\0" * 1016 + b"".join(records)


def user_names(names):
    return (struct.pack("<ii", 0x3001, len(names)) + b"\0" * 1016
            + b"".join(text(n, 256) for n in names))


def day_seed(options, names, day, comments):
    return bytes([options]) + u16(len(names)) + u16(len(day)) + names + day + comments


def day_file_seeds():
    t = "day_file_and_users"
    comments = struct.pack("<i", 11) + b"checked it." + struct.pack("<i", 4) + b"done"
    records = [day_record(0, NOW, "TI-101", 1, ms=250),
               day_record(0, NOW + 5, "TI-101", 2, user=0, comment=0),
               day_record(1, NOW + 9, "PT-202", 3, user=1, comment=15)]
    names = user_names(["operator", "supervisor"])
    # options: event type 1, with comment (0x08), user (0x10), bounded query (0x20)
    write(t, "valid", day_seed(0x39, names, day_file(0x2001, records), comments))
    write(t, "acked_no_names", day_seed(0x02, b"", day_file(0x2001, records[:1]), b""))
    # Version 0x2000 keeps the states before and after at 96 and 98: mode 1 converts them.
    states = [day_record(0, NOW, "TI-101", 0, ms=1), day_record(0, NOW + 1, "TI-101", 1, ms=2)]
    write(t, "states_version", day_seed(0x21, names, day_file(0x2000, states), comments))
    # Files before that hold 102-byte records with a 32-bit time: mode 4 widens them.
    old = [struct.pack("<ii", 0, NOW) + text("TI-101", 80) + struct.pack("<ihHhi", 1, 0, 0, -1, -1)]
    write(t, "narrow_records", day_seed(0x04, names, day_file(0x1000, old), b""))
    unknown = [day_record(0, NOW, "TI-101", -1), day_record(5, NOW, "GONE-1", 1)]
    write(t, "unknown_and_unlinked", day_seed(0x0b, names, day_file(0x2001, unknown), comments))
    write(t, "repair_counts", day_seed(0x10, user_names(["a"])[:1024 + 100],
                                       day_file(0x2001, records)[:1024 + 106 * 2 + 50], comments))


# --- redundancy link ----------------------------------------------------------------

RD = dict(KEEPALIVE=0x1010, SERVER_STATUS=0x1020, GETALLALARMFILES=0x1080, GETUSERNAMES=0x1081,
          INITIALLY_DATA_REQUESTED=0x3401, INITIALLY_DATA_SENT=0x3400, FRAGMENT_BEGIN=0x1100,
          FRAGMENT_UPDATE=0x1102, FRAGMENT_END=0x1101, ALARMFILE_BEGIN=0x1200,
          ALARMFILE_DATA=0x1201, ALARMFILE_END=0x1202, USERNAMES_BEGIN=0x1210,
          USERNAMES_DATA=0x1211, USERNAMES_END=0x1212, COMMENTFILE=0x1400)


def chunk(source, offset, data):
    return s16(source) + i32(offset) + i32(len(data)) + data


def redundancy_seeds():
    t = "redundancy_frames"
    status = frame(RD["SERVER_STATUS"], i32(0x1002) + i32(1) + i32(1) + i32(0) + i32(424242))
    record = alarm_record("TI-101", 0, state=1, handle=101)
    fragment = (frame(RD["FRAGMENT_BEGIN"], s16("Plant"))
                + frame(RD["FRAGMENT_UPDATE"], chunk("Plant", 1024, record))
                + frame(RD["FRAGMENT_END"], s16("Plant"))
                + frame(RD["FRAGMENT_UPDATE"], chunk("Plant", 0, struct.pack("<IIIq", 0x1005, 1, 1, NOW))))
    # Option byte: bit 0 active, bit 1 server side, bits 2.. the type of the whole-input payload.
    write(t, "status_and_fragment", b"\x00" + status + fragment)
    whole = alarm_file(0x1005, [record], 2808)
    transfer = (frame(RD["ALARMFILE_BEGIN"], s16("Plant"))
                + frame(RD["ALARMFILE_DATA"], chunk("Plant", 0, whole[:1024]))
                + frame(RD["ALARMFILE_DATA"], chunk("Plant", 1024, whole[1024:]))
                + frame(RD["ALARMFILE_END"], s16("Plant"))
                + frame(RD["USERNAMES_BEGIN"], s16(""))
                + frame(RD["USERNAMES_DATA"], chunk("", 0, user_names(["operator"])))
                + frame(RD["USERNAMES_END"], s16(""))
                + frame(RD["INITIALLY_DATA_SENT"], b""))
    write(t, "file_transfer", bytes([7 << 2]) + status + transfer)
    write(t, "comment_file", b"\x00" + frame(RD["COMMENTFILE"], s16("Plant") + s16("TI-101")
                                            + i32(0) + i32(9) + b"a comment")
          + frame(RD["KEEPALIVE"], b""))
    write(t, "server_side_requests", b"\x03" + frame(RD["KEEPALIVE"], b"")
          + frame(RD["SERVER_STATUS"], b"") + frame(RD["GETALLALARMFILES"], b"")
          + frame(RD["GETUSERNAMES"], b"") + frame(RD["INITIALLY_DATA_REQUESTED"], b""))


# --- INI files ----------------------------------------------------------------------

def ini_seeds():
    t = "ini_reader"
    with open(os.path.join(REPO, "config", "Heraldon.ini"), "rb") as f:
        write(t, "heraldon_ini", f.read() + b"\0D:\\Klaxora\\Data")
    with open(os.path.join(REPO, "config", "AlarmSources.ini"), "rb") as f:
        write(t, "alarm_sources_ini", f.read())
    write(t, "bom_crlf_quotes", b"\xef\xbb\xbf[General]\r\nName = \"  spaced  \"\r\n; comment\r\n"
          b"# comment\r\n[Empty]\r\n[general]\r\nName=second\r\nDup=1\r\nDup=2\r\n\0 value ")
    write(t, "ansi_no_newline", b"[Caf\xe9]\nK\xe9y='\x80uro'\n[x\nY=1\n[\n=novalue\nZ=\"\0\"q\"")
    write(t, "common_filters", b"[General]\r\nBoilers=TI-*\r\nArea 2=|2|\r\n")


# --- the text feed template ---------------------------------------------------------

def feed_seeds():
    t = "feed_template"
    default = (b"[Status]|[AlarmDate]|[AlarmTime]|[Tag]|[Name]|[Category]|[Area]|[Description]"
               b"|[SumState]")
    record = alarm_record("TI-101", 0, state=1, handle=101)
    write(t, "default_template", b"\x01" + default + b"\0" + record)
    every = (b"[Handle] [FileRecord] [EventType] [Status$] [SmallComment] [Help] [Privilege] "
             b"[ActiveDate] [ActiveTime] [InActiveDate] [InActiveTime] [AckedDate] [AckedTime] "
             b"[DisabledDate] [DisabledTime] [DisabledExpireDate] [DisabledExpireTime] [Date] "
             b"[Time] [LastAckedBy] [LastDisabledBy] [LastEnabledBy] [RepeatedSinceLastAck] "
             b"[Custom1][Custom8][Custom9][custom1][Unknown][][[Tag]]][unclosed")
    write(t, "every_token", b"\x02" + every + b"\0" + record)
    write(t, "inactive_no_object", b"\x00[Status$] [AlarmDate] [AlarmTime]")
    write(t, "no_tokens", b"\x05plain text without tokens")


if __name__ == "__main__":
    source_seeds()
    client_seeds()
    alarm_file_seeds()
    day_file_seeds()
    redundancy_seeds()
    ini_seeds()
    feed_seeds()
