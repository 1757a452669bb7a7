#!/usr/bin/python3
# What python3-pefile reads of each file named: one JSON object a line, keyed as the inventory's
# records are, for the tests to hold the records against an independent reader.
import datetime
import json
import sys

import pefile

SUBSYSTEMS = {1: "native", 2: "gui", 3: "console", 10: "efi_application"}


def codeview(pe):
    for debug in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        entry = debug.entry
        if debug.struct.Type != 2 or entry is None:
            continue
        path = entry.PdbFileName.rstrip(b"\0").decode()
        if getattr(entry, "CvSignature", None) == b"RSDS":
            guid = "%08X%04X%04X%02X%02X%s" % (
                entry.Signature_Data1, entry.Signature_Data2, entry.Signature_Data3,
                entry.Signature_Data4, entry.Signature_Data5, entry.Signature_Data6.hex().upper())
            return path, "%s%X" % (guid, entry.Age)
        return path, "%08X%X" % (entry.Signature, entry.Age)
    return None, None


for path in sys.argv[1:]:
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]])
    stamp = pe.FILE_HEADER.TimeDateStamp
    pdb_path, pdb_id = codeview(pe)
    print(json.dumps({
        "path": path,
        "compiled": datetime.datetime.fromtimestamp(stamp, datetime.timezone.utc)
        .strftime("%Y-%m-%dT%H:%M:%SZ") if stamp else None,
        "subsystem": SUBSYSTEMS.get(pe.OPTIONAL_HEADER.Subsystem, str(pe.OPTIONAL_HEADER.Subsystem)),
        "pdb_path": pdb_path,
        "pdb_id": pdb_id,
        "imphash": pe.get_imphash() or None,
    }))
