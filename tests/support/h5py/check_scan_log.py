#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Checks a scan log with h5py, a reader that libvorn did not write.

Usage: check_scan_log.py EXPECT.json. EXPECT names the file and what it must hold:
  file          the HDF5 file, opened read-only in single-writer/multiple-reader mode
  swmr          false: open it as a reader that does not use that mode (after h5clear -s)
  root, scans   attributes of / and of /scans that must match exactly (lists for arrays)
  dtype         the raw codes' dtype, e.g. "uint16"
  positions     the number of scan positions
  rows          the exact number of scans, or
  min_rows      the least number of scans (a file left by a killed writer)
  raw           a file of int64 little-endian codes, scans x positions: the first rows that must match
  counter       instead of raw: code of sample k (k = scan * positions + position) is k mod this
                (neither: the codes are not compared)
  volts_from_attrs  a file of float64 little-endian volts that raw / maxdata * (max - min) + min
                must reproduce bit for bit (what the library delivered); a position whose
                calibration attribute is CALIBRATED takes its polynomial instead
  calibrated    the number of positions whose volts came from a calibration polynomial
  volts_dataset true if /volts must exist and equal those volts
  csv_volts     a CSV file (a header, then a time column and one column per position, six
                decimals) whose values the volts from the attributes must round to
  volts_rows_at_most  /volts holds no more scans than this (a log whose disk filled)
  events        a list of [scan_index, kind, detail] rows that /events must hold, in order
  events_if_any as events, or /events empty (a full file may not take the row); a detail that
                was cut to fit need only begin the expected one
  records       for a record log: trigger_scans (of /records), shape, incomplete_trigger_scan (a
                list), incomplete_scans, counter_position (whose codes must be the counter's)
  (no dtype: a record log, which must have no /scans)
  trigger_times a list of the time_ns that the "trigger" rows of /events must hold, in order
  stimulus      a stimulus-response log: /stimulus has as many rows as /scans, the attributes
                "attrs", and the volts of response position "loopback_position" at scan k are
                those of stimulus row k - "lag" within "tolerance" volts
Prints one line "ok: ..." and exits 0, or the first difference and exits 1.
"""
import json
import sys

import h5py
import numpy as np


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def same(got, want):
    if isinstance(got, np.ndarray):
        got = [x.decode() if isinstance(x, bytes) else x for x in got.tolist()]
    elif isinstance(got, np.generic):
        got = got.item()
    if isinstance(got, bytes):
        got = got.decode()
    return got == want, got


def volts_of(scans, raw):
    """The volts of raw codes (scans x positions) as the library converts them: the linear map of
    each range, or the calibration polynomial of a calibrated position, Horner from the top."""
    lo = scans.attrs["range_min"]
    hi = scans.attrs["range_max"]
    volts = raw / scans.attrs["maxdata"] * (hi - lo) + lo
    if "calibration" in scans.attrs:
        states = [s.decode() if isinstance(s, bytes) else s for s in scans.attrs["calibration"]]
        origin = scans.attrs["calibration_origin"]
        c = scans.attrs["calibration_coefficients"].reshape(-1, 4)
        for p, state in enumerate(states):
            if state == "CALIBRATED":
                u = raw[:, p] - origin[p]
                volts[:, p] = ((c[p, 3] * u + c[p, 2]) * u + c[p, 1]) * u + c[p, 0]
    return volts


def calibrated_positions(scans):
    if "calibration" not in scans.attrs:
        return 0
    return sum(1 for s in scans.attrs["calibration"] if (s.decode() if isinstance(s, bytes) else s) == "CALIBRATED")


def check_attrs(obj, want, where):
    for name, value in want.items():
        if name not in obj.attrs:
            fail(f"{where} has no attribute {name}")
        ok, got = same(obj.attrs[name], value)
        if not ok:
            fail(f"{where}.attrs[{name!r}] is {got!r}, not {value!r}")


def check_scans_absent(h5):
    if "scans" in h5:
        fail("/scans exists in a log of records only")


def check_records(h5, want):
    """The records of a record log: their trigger scans, shape, and codes of the counter."""
    records = h5["records"]
    positions = records.shape[2]
    pre = int(h5.attrs["pretrigger_scans"])
    triggers = [int(t) for t in h5["record_trigger_scan"][:]]
    if triggers != want["trigger_scans"]:
        fail(f"/record_trigger_scan is {triggers}, not {want['trigger_scans']}")
    if list(records.shape) != want["shape"]:
        fail(f"/records has shape {list(records.shape)}, not {want['shape']}")
    cut = [int(t) for t in h5["incomplete_trigger_scan"][:]]
    if cut != want["incomplete_trigger_scan"]:
        fail(f"/incomplete_trigger_scan is {cut}, not {want['incomplete_trigger_scan']}")
    if h5["incomplete_record"].shape[0] != want["incomplete_scans"]:
        fail(f"/incomplete_record has {h5['incomplete_record'].shape[0]} scans, not {want['incomplete_scans']}")
    pieces = [(t, records[i]) for i, t in enumerate(triggers)] + [(t, h5["incomplete_record"][:]) for t in cut]
    p = want["counter_position"]
    for t, rec in pieces:
        first = t - pre
        expected = ((first + np.arange(rec.shape[0])) * positions + p) % 65536
        if not np.array_equal(rec[:, p].astype(np.int64), expected):
            fail(f"the record of the trigger at scan {t} is not scans {first}.. of the counter")
    return f"{len(triggers)} records + {len(cut)} cut, contiguous on the counter"


def check_stimulus(h5, raw, want):
    stimulus = h5["stimulus"]
    check_attrs(stimulus, want.get("attrs", {}), "/stimulus")
    if stimulus.shape[0] != raw.shape[0]:
        fail(f"/stimulus has {stimulus.shape[0]} rows, /scans {raw.shape[0]}")
    sent = volts_of(stimulus, stimulus[:].astype(np.int64))[:, 0]
    got = volts_of(h5["scans"], raw)[:, want["loopback_position"]]
    lag = want["lag"]
    worst = np.max(np.abs(got[lag:] - sent[:len(sent) - lag]))
    if worst > want["tolerance"]:
        fail(f"the loopback differs from the stimulus {lag} scan(s) before by up to {worst} V")
    return f"/stimulus {stimulus.shape[0]} rows, the loopback within {worst:.3g} V"


def main():
    with open(sys.argv[1]) as f:
        want = json.load(f)
    with h5py.File(want["file"], "r", swmr=want.get("swmr", True)) as h5:
        check_attrs(h5, want.get("root", {}), "/")
        checked = "no /scans"
        if "dtype" in want:
            scans = h5["scans"]
            check_attrs(scans, want.get("scans", {}), "/scans")
            if str(scans.dtype) != want["dtype"]:
                fail(f"/scans has dtype {scans.dtype}, not {want['dtype']}")
            rows, positions = scans.shape
            if positions != want["positions"]:
                fail(f"/scans has {positions} positions, not {want['positions']}")
            if "rows" in want and rows != want["rows"]:
                fail(f"/scans has {rows} scans, not {want['rows']}")
            if rows < want.get("min_rows", 0):
                fail(f"/scans has {rows} scans, fewer than the {want['min_rows']} flushed")
            raw = scans[:].astype(np.int64)
            checked = f"{rows} x {positions} scans"
            if "raw" in want:
                expected = np.fromfile(want["raw"], dtype="<i8").reshape(-1, positions)
                if expected.shape[0] < rows:
                    fail(f"/scans has {rows} scans, more than the {expected.shape[0]} written")
                expected = expected[:rows]
            elif "counter" in want:
                expected = (np.arange(rows * positions, dtype=np.int64) % want["counter"]).reshape(rows, positions)
            else:
                expected = None
            if expected is not None:
                diff = np.argwhere(raw != expected)
                if diff.size:
                    s, p = diff[0]
                    fail(f"/scans[{s}, {p}] is {raw[s, p]}, not {expected[s, p]} ({len(diff)} values differ)")
                checked = f"{rows} x {positions} raw codes"
            if "volts_from_attrs" in want:
                volts = volts_of(scans, raw.astype(np.float64))
                if calibrated_positions(scans) != want.get("calibrated", 0):
                    fail(f"{calibrated_positions(scans)} calibrated positions, not {want.get('calibrated', 0)}")
                delivered = np.fromfile(want["volts_from_attrs"], dtype="<f8").reshape(-1, positions)[:rows]
                if delivered.shape != volts.shape or not np.array_equal(volts, delivered):
                    bad = np.argwhere(volts != delivered) if delivered.shape == volts.shape else [[0, 0]]
                    fail(f"volts from the attributes differ from the delivered ones at {bad[0]}")
                checked += ", volts from the attributes"
                if want.get("volts_dataset"):
                    stored = h5["volts"][:]
                    if not np.array_equal(stored, delivered):
                        fail("/volts differs from the delivered volts")
                    checked += " and /volts"
            if "csv_volts" in want:
                volts = volts_of(scans, raw.astype(np.float64))
                csv = np.loadtxt(want["csv_volts"], delimiter=",", skiprows=1)[:, 1:]
                if csv.shape != volts.shape:
                    fail(f"the CSV holds {csv.shape}, the log {volts.shape}")
                worst = np.max(np.abs(volts - csv))
                if worst > 0.5e-6 + 1e-12:
                    fail(f"volts from the log differ from the CSV by up to {worst}")
                checked += ", the CSV's volts"
            if "stimulus" in want:
                checked += ", " + check_stimulus(h5, raw, want["stimulus"])
            if "volts" in h5 and not want.get("volts_dataset", True):
                fail("/volts exists although it was not asked for")
        else:
            check_scans_absent(h5)
        if "records" in want:
            checked += ", " + check_records(h5, want["records"])
        if "volts_rows_at_most" in want and h5["volts"].shape[0] > want["volts_rows_at_most"]:
            fail(f"/volts has {h5['volts'].shape[0]} scans, more than {want['volts_rows_at_most']}")
        events = h5["events"]
        for field in ("kind", "detail"):
            if h5py.check_string_dtype(events.dtype[field]).encoding != "utf-8":
                fail(f"/events' {field} is not typed as UTF-8 text")
        got = [[int(e["scan_index"]), e["kind"].decode(), e["detail"].decode()] for e in events[:]]
        if "events" in want:
            if got != want["events"]:
                fail(f"/events holds {got}, not {want['events']}")
            checked += f", {len(got)} events"
        if "events_if_any" in want and got:
            expected = want["events_if_any"]
            if len(got) != len(expected) or not all(g[:2] == e[:2] and e[2].startswith(g[2])
                                                    for g, e in zip(got, expected)):
                fail(f"/events holds {got}, neither nothing nor {expected}")
            checked += f", {len(got)} events"
        if "trigger_times" in want:
            got = [int(e["time_ns"]) for e in h5["events"][:] if e["kind"] == b"trigger"]
            if got != want["trigger_times"]:
                fail(f"the triggers of /events are at {got} ns, not {want['trigger_times']}")
    print("ok: " + checked)


main()
