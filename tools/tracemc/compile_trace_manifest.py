#!/usr/bin/env python3
"""Compiles an instrumentation manifest into the two resources that event
consumers (tracerpt, Event Viewer, wevtutil) decode a provider's events with:
the compiled manifest ("WEVT_TEMPLATE") and the message table (type 11), plus
the .rc script that embeds both.

    compile_trace_manifest.py MANIFEST OUTDIR

writes OUTDIR/<base>TEMP.BIN, OUTDIR/MSG00001.bin and OUTDIR/<base>.rc, laid
out as the platform's message compiler lays them out. It knows only what the
service's manifest uses: one provider, channels defined by it, custom and
"win:" levels, global opcodes, tasks, one-bit keywords, scalar and string
template fields. Anything else stops it with the element named."""

import os
import struct
import sys
import uuid
import xml.etree.ElementTree as ET

EVENTS_NS = "{http://schemas.microsoft.com/win/2004/08/events}"

# Standard levels an event may name without declaring them: value and display text.
WIN_LEVELS = {
    "win:Critical": (1, "Critical"),
    "win:Error": (2, "Error"),
    "win:Warning": (3, "Warning"),
    "win:Informational": (4, "Information"),
    "win:Verbose": (5, "Verbose"),
}

# Input types: code and the output types allowed with it (the first is the default).
IN_TYPES = {
    "win:UnicodeString": (0x01, ["xs:string"]),
    "win:AnsiString": (0x02, ["xs:string"]),
    "win:UInt16": (0x06, ["xs:unsignedShort", "win:HexInt16"]),
    "win:UInt32": (0x08, ["xs:unsignedInt", "win:HexInt32"]),
    "win:UInt64": (0x0A, ["xs:unsignedLong", "win:HexInt64"]),
}
OUT_TYPES = {
    "xs:string": 0x01, "xs:unsignedShort": 0x06, "xs:unsignedInt": 0x08, "xs:unsignedLong": 0x0A,
    "win:HexInt16": 0x11, "win:HexInt32": 0x12, "win:HexInt64": 0x13,
}

LANGUAGES = {"en-US": (0x09, 0x01)}

# Element type codes in the provider's element list, in the order they are written.
CHAN, TTBL, PRVA, OPCO, LEVL, TASK, KEYW, EVNT = 5, 7, 13, 2, 0, 1, 3, 4

# Message id ranges, one per kind of item.
ID_KEYWORD, ID_OPCODE, ID_LEVEL, ID_TASK, ID_PROVIDER, ID_EVENT = (
    0x10000000, 0x30000000, 0x50000000, 0x70000000, 0x90000000, 0xB0000000)


class ManifestError(Exception):
    pass


def local(element):
    return element.tag.replace(EVENTS_NS, "")


def children(parent, allowed):
    for child in parent:
        if not isinstance(child.tag, str):
            continue
        if local(child) not in allowed:
            raise ManifestError(f"unsupported element <{local(child)}> in <{local(parent)}>")
        yield local(child), child


def sections(parent, allowed, required=()):
    found = dict(children(parent, allowed))
    for tag in required:
        if tag not in found:
            raise ManifestError(f"<{local(parent)}> lacks <{tag}>")
    return found


def attributes(element, required, optional=(), elements=()):
    """The element's attributes, once it has only those and no other children than elements."""
    for _ in children(element, elements):
        pass
    for name in element.attrib:
        if name not in required and name not in optional:
            raise ManifestError(f"unsupported attribute {name} on <{local(element)}>")
    for name in required:
        if name not in element.attrib:
            raise ManifestError(f"<{local(element)}> lacks the attribute {name}")
    return element.attrib


def number(element, name):
    try:
        return int(element.attrib[name], 0)
    except ValueError:
        raise ManifestError(f"<{local(element)}> {name}=\"{element.attrib[name]}\" is not a number")


def utf16(text):
    return text.encode("utf-16-le")


def pad4(data):
    return data + b"\0" * (-len(data) % 4)


def sized_string(text):
    body = pad4(utf16(text) + b"\0\0")
    return struct.pack("<I", 4 + len(body)) + body


class Strings:
    """The manifest's string table, and the message ids handed out for it: a
    string referenced twice keeps the id of its first reference."""

    def __init__(self, table):
        self.table = table
        self.ids = {}
        self.messages = {}

    def message_id(self, element, proposed):
        reference = element.attrib.get("message")
        if reference is None:
            return 0xFFFFFFFF
        if not (reference.startswith("$(string.") and reference.endswith(")")):
            raise ManifestError(f"<{local(element)}> message=\"{reference}\" is not a $(string.X) reference")
        key = reference[len("$(string."):-1]
        if key not in self.table:
            raise ManifestError(f"<{local(element)}> names the undefined string {key}")
        return self.fixed(key, self.table[key], proposed)

    def fixed(self, key, text, proposed):
        if key not in self.ids:
            if proposed in self.messages:
                raise ManifestError(f"two items with the message id 0x{proposed:08X}: their values repeat")
            self.ids[key] = proposed
            self.messages[proposed] = text
        return self.ids[key]


class Provider:
    """The provider's definitions, read from the manifest, with their ids."""

    def __init__(self, element, strings):
        kinds = ("channels", "levels", "tasks", "opcodes", "keywords", "templates", "events")
        attributes(element, ("name", "guid"), ("symbol", "resourceFileName", "messageFileName", "message"), kinds)
        self.name = element.attrib["name"]
        try:
            self.guid = uuid.UUID(element.attrib["guid"])
        except ValueError:
            raise ManifestError(f"<provider guid=\"{element.attrib['guid']}\"> is not a GUID")
        self.message = strings.message_id(element, ID_PROVIDER | 1)
        self.channels, self.levels, self.tasks, self.opcodes, self.keywords = [], {}, {}, {}, {}
        self.templates, self.events = {}, []
        parts = sections(element, kinds)
        for tag, reader in (("channels", self.read_channel), ("levels", self.value_reader(self.levels, ID_LEVEL)),
                            ("tasks", self.value_reader(self.tasks, ID_TASK)),
                            ("opcodes", self.value_reader(self.opcodes, ID_OPCODE)),
                            ("keywords", self.read_keyword), ("templates", self.read_template),
                            ("events", self.read_event)):
            if tag in parts:
                for _, child in children(parts[tag], (tag[:-1],)):
                    reader(child, strings)

    def read_channel(self, element, strings):
        attributes(element, ("chid", "name", "type", "value"), ("enabled", "symbol", "message"))
        index = len(self.channels)
        self.channels.append({"chid": element.attrib["chid"], "name": element.attrib["name"],
                              "value": number(element, "value"), "keyword": 1 << (63 - index),
                              "message": strings.message_id(element, ID_PROVIDER | (2 + index))})

    @staticmethod
    def value_reader(table, id_range):
        """Reads a level, task or opcode: a name and a value, whose message id lies in id_range."""
        def read(element, strings):
            attributes(element, ("name", "value"), ("symbol", "message"))
            value = number(element, "value")
            table[element.attrib["name"]] = {"value": value, "message": strings.message_id(element, id_range | value)}
        return read

    def read_keyword(self, element, strings):
        attributes(element, ("name", "mask"), ("symbol", "message"))
        mask = number(element, "mask")
        if mask == 0 or mask & (mask - 1) or mask >> 48:
            raise ManifestError(f"<keyword name=\"{element.attrib['name']}\"> needs a mask of one bit below 48")
        self.keywords[element.attrib["name"]] = {
            "mask": mask, "message": strings.message_id(element, ID_KEYWORD | mask.bit_length())}

    def read_template(self, element, _strings):
        attributes(element, ("tid",), elements=("data",))
        fields = []
        for _, data in children(element, ("data",)):
            attributes(data, ("name", "inType"), ("outType",))
            in_name = data.attrib["inType"]
            if in_name not in IN_TYPES:
                raise ManifestError(f"<data name=\"{data.attrib['name']}\"> has the unsupported inType {in_name}")
            in_type, outs = IN_TYPES[in_name]
            out_name = data.attrib.get("outType", outs[0])
            if out_name not in outs:
                raise ManifestError(f"<data name=\"{data.attrib['name']}\"> has the unsupported outType {out_name}")
            fields.append((data.attrib["name"], in_type, OUT_TYPES[out_name]))
        self.templates[element.attrib["tid"]] = fields

    def read_event(self, element, strings):
        attributes(element, ("value", "version", "level"),
                   ("channel", "opcode", "task", "keywords", "template", "symbol", "message"))
        event = {"id": number(element, "value"), "version": number(element, "version")}
        tag = f"<event value=\"{event['id']}\">"

        def lookup(table, attribute, what):
            name = element.attrib.get(attribute)
            if name is None:
                return None
            if name not in table:
                raise ManifestError(f"{tag} names the {what} {name}, which the manifest does not declare")
            return name

        level = element.attrib["level"]
        if level in WIN_LEVELS and level not in self.levels:
            value, text = WIN_LEVELS[level]
            self.levels[level] = {"value": value, "message": strings.fixed(level, text, ID_LEVEL | value)}
        event["level"] = lookup(self.levels, "level", "level")
        channel = element.attrib.get("channel")
        event["channel"] = next((c for c in self.channels if c["chid"] == channel), None)
        if channel is not None and event["channel"] is None:
            raise ManifestError(f"{tag} names the channel {channel}, which the manifest does not declare")
        event["opcode"] = lookup(self.opcodes, "opcode", "opcode")
        event["task"] = lookup(self.tasks, "task", "task")
        event["template"] = lookup(self.templates, "template", "template")
        event["keywords"] = element.attrib.get("keywords", "").split()
        for keyword in event["keywords"]:
            if keyword not in self.keywords:
                raise ManifestError(f"{tag} names the keyword {keyword}, which the manifest does not declare")
        event["message"] = strings.message_id(element, ID_EVENT | event["version"] << 16 | event["id"])
        self.events.append(event)


def read_manifest(path):
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError as error:
        raise ManifestError(f"{path}: {error}")
    if local(root) != "instrumentationManifest":
        raise ManifestError(f"unsupported root element <{local(root)}>")
    parts = sections(root, ("instrumentation", "localization"), ("instrumentation", "localization"))
    cultures = [r for _, r in children(parts["localization"], ("resources",))]
    if len(cultures) != 1:
        raise ManifestError(f"<localization> holds {len(cultures)} <resources>; one culture is supported")
    localization = cultures[0]
    attributes(localization, ("culture",), elements=("stringTable",))
    culture = localization.attrib["culture"]
    if culture not in LANGUAGES:
        raise ManifestError(f"<resources culture=\"{culture}\"> is not a supported culture")
    table = {}
    for _, string_table in children(localization, ("stringTable",)):
        for _, string in children(string_table, ("string",)):
            attributes(string, ("id", "value"))
            table[string.attrib["id"]] = string.attrib["value"]
    strings = Strings(table)
    events = sections(parts["instrumentation"], ("events",), ("events",))["events"]
    providers = [p for _, p in children(events, ("provider",))]
    if len(providers) != 1:
        raise ManifestError(f"<events> holds {len(providers)} providers; one is supported")
    return Provider(providers[0], strings), strings.messages, LANGUAGES[culture]


# ---------------------------------------------------------------------------
# Binary XML of a template: <EventData><Data Name="X">%n</Data>...</EventData>


def name_hash(text):
    value = 0
    for unit in struct.unpack(f"<{len(text)}H", utf16(text)):
        value = (value * 65599 + unit) & 0xFFFFFFFF
    return value & 0xFFFF


def inline_name(text):
    return struct.pack("<HH", name_hash(text), len(text)) + utf16(text) + b"\0\0"


def data_element(index, name, in_type):
    attribute = b"\x06" + inline_name("Name") + b"\x05\x01" + struct.pack("<H", len(name)) + utf16(name)
    body = (inline_name("Data") + struct.pack("<I", len(attribute)) + attribute + b"\x02"
            + b"\x0d" + struct.pack("<HB", index, in_type) + b"\x04")
    return b"\x41\xff\xff" + struct.pack("<I", len(body)) + body


def template_fragment(fields):
    body = inline_name("EventData") + b"\x02"
    body += b"".join(data_element(i, name, in_type) for i, (name, in_type, _) in enumerate(fields)) + b"\x04"
    return b"\x0f\x01\x01\x00" + b"\x01\xff\xff" + struct.pack("<I", len(body)) + body + b"\x00"


# ---------------------------------------------------------------------------
# WEVT_TEMPLATE. Every offset counts from the first byte of the resource; each
# writer gets its own start offset and returns its bytes and where its entries lie.


def table_element(signature, start, entries, entry_size, pack, name_of):
    """A definition table: header, fixed-size entries, then their names."""
    if not entries:
        return signature + struct.pack("<II", 0, 0), {}
    names_at = start + 12 + len(entries) * entry_size
    body, names, where = b"", b"", {}
    for key, entry in entries:
        where[key] = start + 12 + len(body)
        body += pack(entry, names_at + len(names))
        names += sized_string(name_of(key, entry))
    size = 12 + len(body) + len(names)
    return signature + struct.pack("<II", size, len(entries)) + body + names, where


def by_name(key, _):
    return key


def channels_element(provider, start):
    return table_element(b"CHAN", start, [(c["chid"], c) for c in provider.channels], 16,
                         lambda c, name: struct.pack("<IIII", 0, name, c["value"], c["message"]),
                         lambda _, c: c["name"])


def levels_element(provider, start):
    return table_element(b"LEVL", start, sorted(provider.levels.items(), key=lambda item: item[1]["value"]), 12,
                         lambda level, name: struct.pack("<III", level["value"], level["message"], name), by_name)


def opcodes_element(provider, start):
    # Global opcodes only: the task half of the combined value is 0.
    return table_element(b"OPCO", start, sorted(provider.opcodes.items(), key=lambda item: item[1]["value"]), 12,
                         lambda opcode, name: struct.pack("<III", opcode["value"] << 16, opcode["message"], name),
                         by_name)


def tasks_element(provider, start):
    # No task carries an event GUID: 16 zero bytes.
    return table_element(b"TASK", start, sorted(provider.tasks.items(), key=lambda item: item[1]["value"]), 28,
                         lambda task, name: struct.pack("<II16xI", task["value"], task["message"], name), by_name)


def keywords_element(provider, start):
    return table_element(b"KEYW", start, sorted(provider.keywords.items(), key=lambda item: item[1]["mask"]), 16,
                         lambda keyword, name: struct.pack("<QII", keyword["mask"], keyword["message"], name),
                         by_name)


def template_guid(provider, fields):
    return uuid.uuid5(provider.guid, repr(fields)).bytes_le


def templates_element(provider, start):
    body, where = b"", {}
    for tid, fields in provider.templates.items():
        at = start + 12 + len(body)
        fragment = pad4(template_fragment(fields))
        descriptors_at = at + 40 + len(fragment)
        names_at = descriptors_at + 20 * len(fields)
        descriptors, names = b"", b""
        for name, in_type, out_type in fields:
            descriptors += struct.pack("<IBBHIHHI", 0, in_type, out_type, 0, 0, 0, 0, names_at + len(names))
            names += sized_string(name)
        size = 40 + len(fragment) + len(descriptors) + len(names)
        body += (b"TEMP" + struct.pack("<IIII", size, len(fields), len(fields), descriptors_at if fields else at + size)
                 + struct.pack("<I", 1) + template_guid(provider, fields) + fragment + descriptors + names)
        where[tid] = at
    return b"TTBL" + struct.pack("<II", 12 + len(body), len(provider.templates)) + body, where


def provider_attributes_element(provider, start):
    name = pad4(utf16(provider.name) + b"\0\0")
    return b"PRVA" + struct.pack("<IIII", 20 + len(name), 1, 0x10000001, start + 20) + name, {}


def events_element(provider, start, places):
    events = sorted(provider.events, key=lambda e: (e["id"], e["version"]))
    arrays_at = start + 16 + 48 * len(events)
    body, arrays = b"", b""
    for event in events:
        channel = event["channel"]
        mask = channel["keyword"] if channel else 0
        listed = sorted(event["keywords"], key=lambda k: provider.keywords[k]["mask"])
        for keyword in listed:
            mask |= provider.keywords[keyword]["mask"]
        level = provider.levels[event["level"]]["value"]
        opcode = provider.opcodes[event["opcode"]]["value"] if event["opcode"] else 0
        task = provider.tasks[event["task"]]["value"] if event["task"] else 0
        body += struct.pack("<HBBBBHQIIIIIIII", event["id"], event["version"], channel["value"] if channel else 0,
                            level, opcode, task, mask, event["message"],
                            places[TTBL].get(event["template"], 0), places[OPCO].get(event["opcode"], 0),
                            places[LEVL][event["level"]], places[TASK].get(event["task"], 0), len(listed),
                            arrays_at + len(arrays) if listed else 0,
                            places[CHAN].get(channel["chid"], 0) if channel else 0)
        arrays += b"".join(struct.pack("<I", places[KEYW][k]) for k in listed)
    size = 16 + len(body) + len(arrays)
    return b"EVNT" + struct.pack("<III", size, len(events), 0) + body + arrays, {}


def wevt_template(provider):
    writers = [(TTBL, templates_element), (PRVA, provider_attributes_element), (OPCO, opcodes_element),
               (LEVL, levels_element), (TASK, tasks_element), (KEYW, keywords_element)]
    if provider.channels:
        writers.insert(0, (CHAN, channels_element))
    count = len(writers) + 1
    provider_at = 16 + 20
    start = provider_at + 16 + 8 * count
    elements, places, directory = b"", {CHAN: {}}, b""
    for code, writer in writers:
        data, places[code] = writer(provider, start + len(elements))
        directory += struct.pack("<II", code, start + len(elements))
        elements += data
    data, _ = events_element(provider, start + len(elements), places)
    directory += struct.pack("<II", EVNT, start + len(elements))
    elements += data
    wevt = b"WEVT" + struct.pack("<III", 16 + len(directory) + len(elements), provider.message, count)
    wevt += directory + elements
    total = provider_at + len(wevt)
    crim = b"CRIM" + struct.pack("<IHHI", total, 5, 1, 1) + provider.guid.bytes_le + struct.pack("<I", provider_at)
    return crim + wevt + b"\0\0"


# ---------------------------------------------------------------------------
# Message table: blocks of consecutive ids, UTF-16 entries.


def message_table(messages):
    blocks, ids = [], sorted(messages)
    for message_id in ids:
        if blocks and blocks[-1][-1] == message_id - 1:
            blocks[-1].append(message_id)
        else:
            blocks.append([message_id])
    entries_at = 4 + 12 * len(blocks)
    header, entries = struct.pack("<I", len(blocks)), b""
    for block in blocks:
        header += struct.pack("<III", block[0], block[-1], entries_at + len(entries))
        for message_id in block:
            text = pad4(utf16(messages[message_id]) + b"\0\0")
            entries += struct.pack("<HH", 4 + len(text), 1) + text
    return header + entries


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: compile_trace_manifest.py MANIFEST OUTDIR")
    manifest, outdir = argv[1], argv[2]
    try:
        provider, messages, (language, sublanguage) = read_manifest(manifest)
    except ManifestError as error:
        sys.exit(f"{manifest}: {error}")
    base = os.path.splitext(os.path.basename(manifest))[0]
    os.makedirs(outdir, exist_ok=True)
    outputs = {
        f"{base}TEMP.BIN": wevt_template(provider),
        "MSG00001.bin": message_table(messages),
        f"{base}.rc": (f"LANGUAGE 0x{language:x},0x{sublanguage:x}\r\n1 11 \"MSG00001.bin\"\r\n"
                       f"1 WEVT_TEMPLATE \"{base}TEMP.BIN\"\r\n").encode("ascii"),
    }
    for name, data in outputs.items():
        with open(os.path.join(outdir, name), "wb") as file:
            file.write(data)


if __name__ == "__main__":
    main(sys.argv)
