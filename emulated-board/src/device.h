// SPDX-License-Identifier: LGPL-2.1-or-later
// The Comedi core's pieces that the drivers and the control API use (callers hold the state lock).
#pragma once

#include "emu_internal.h"

namespace emu {

constexpr unsigned kNsPerUs = 1000;
constexpr unsigned kMinPeriodNs = 1000; // fastest conversion the emulated ADCs do

// ---- stream model (stream.cpp) ----
EMU_HIDDEN unsigned bytes_per_sample(const SubdevDesc &sd);
// Conversion time of sample k of the command, in emulated ns.
EMU_HIDDEN uint64_t sample_time_ns(const Cmd &c, uint64_t k);
// Brings the buffer of a running command up to the emulated clock (overrun, end of acquisition).
EMU_HIDDEN void update(State &st, Board &b, unsigned s);
EMU_HIDDEN void start_acquisition(State &st, Board &b, unsigned s);
EMU_HIDDEN void become_nonbusy(State &st, SubState &ss);
// Writes the command's stream into the ring up to byte `upto` (see stream.cpp).
EMU_HIDDEN void materialize_upto(State &st, Board &b, unsigned s, uint64_t upto);
// The meter of materialize_upto's work in this process (emu_meter_making): switching resets it.
EMU_HIDDEN void meter_making(bool on);
EMU_HIDDEN uint64_t making_cpu();
EMU_HIDDEN uint64_t making_bytes_total();
// Samples of the input command converted at or before `e` ns after its start.
EMU_HIDDEN uint64_t samples_due(const Cmd &c, uint64_t e);
// An input command's write count brought up to the clock, without the board's outputs.
EMU_HIDDEN void advance_input(State &st, Board &b, unsigned s);

// ---- outputs and instants (output.cpp) ----
// The instant an instruction runs at: the clock, or the instant of the list it belongs to.
EMU_HIDDEN uint64_t instant_locked(State &st);
EMU_HIDDEN void start_at(State &st, Board &b, unsigned s, uint64_t t);
// A level-sensitive external start whose line is already active starts at once.
EMU_HIDDEN void arm_level_start(State &st, Board &b, unsigned s);
// Output clocks and line events of the board up to the emulated clock, in time order.
EMU_HIDDEN void advance_board(State &st, Board &b);
// An output channel takes a new value at t (instruction or output command).
EMU_HIDDEN void set_output(State &st, Board &b, unsigned s, unsigned ch, unsigned raw, unsigned rng, uint64_t t);
// Input samples converted before t that depend on the outputs are fixed before they change.
EMU_HIDDEN void sync_inputs(State &st, Board &b, uint64_t t);
// The rig's low-pass output at t (t at or after its last input step).
EMU_HIDDEN double rc_value(const BoardState &bs, uint64_t t);
EMU_HIDDEN int schedule_line(State &st, Board &b, unsigned line, bool level, uint64_t t);
EMU_HIDDEN uint64_t output_free(const Board &b, unsigned s);
EMU_HIDDEN uint64_t next_output_ns(State &st, const Board &b, unsigned s);
EMU_HIDDEN void bufinfo_write(State &st, Board &b, unsigned s, comedi_bufinfo &bi, bool *nonbusy, long *ret);

// ---- helpers for drivers' command tests (cmdtest.cpp) ----
EMU_HIDDEN int check_src(unsigned *src, unsigned allowed);
EMU_HIDDEN int check_unique(unsigned src);
EMU_HIDDEN int arg_is(unsigned *arg, unsigned v);
EMU_HIDDEN int arg_min(unsigned *arg, unsigned v);
// The stage-3 rules every streaming subdevice here ends with: a channel at least, a scan as long
// as the channel list, and a stop argument that counts scans (COUNT) or is 0 (NONE).
EMU_HIDDEN int check_scan_and_stop_args(comedi_cmd &c);
// The driver's rounding to whole microseconds: DIV_ROUND_CLOSEST of at most 4294967000 ns.
EMU_HIDDEN unsigned round_to_us(unsigned arg);

// ---- the driver tables (driver_vorn.cpp, driver_comedi_test.cpp) ----
EMU_HIDDEN extern const SubdevOps kVornAnalogIn;
EMU_HIDDEN extern const SubdevOps kVornAnalogInNoCmd;
EMU_HIDDEN extern const SubdevOps kVornAnalogOut;
EMU_HIDDEN extern const SubdevOps kVornAnalogOutCmd;    // multi: timed output, internal start
EMU_HIDDEN extern const SubdevOps kRigAnalogIn;
EMU_HIDDEN extern const SubdevOps kRigAnalogOut;        // internal or external start and scan clock
EMU_HIDDEN extern const SubdevOps kSoftcalAnalogIn;  // multi's, with converter errors (softcal.cpp)
EMU_HIDDEN extern const SubdevOps kSoftcalAnalogOut;
EMU_HIDDEN extern const SubdevOps kVornDigital;
EMU_HIDDEN extern const SubdevOps kVornDigitalConfig; // DIO: direction per line
EMU_HIDDEN extern const SubdevOps kComediTestAnalogIn;
EMU_HIDDEN extern const SubdevOps kComediTestAnalogOut;

// Analog output write and read-back, shared by every driver here.
EMU_HIDDEN long ao_write(State &st, Board &b, unsigned s, const comedi_insn &in, unsigned *data);
EMU_HIDDEN long ao_read(State &st, Board &b, unsigned s, const comedi_insn &in, unsigned *data);

} // namespace emu
