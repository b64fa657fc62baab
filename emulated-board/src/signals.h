// SPDX-License-Identifier: LGPL-2.1-or-later
// Signal generators shared by the device model and the control API.
#pragma once

#include "emu_internal.h"

namespace emu {
namespace sig {
// ADC transfer: round to nearest code, clamped to the converter's span.
EMU_HIDDEN unsigned volts_to_raw(double v, const Range &r, unsigned maxdata);
// DAC transfer, computed in the same order as comedilib's comedi_to_phys.
EMU_HIDDEN double raw_to_volts(unsigned raw, const Range &r, unsigned maxdata);
EMU_HIDDEN double voltage(const Board &b, unsigned ch, uint64_t t_ns);
EMU_HIDDEN double rig_voltage(const Board &b, unsigned ch, uint64_t t_ns);
EMU_HIDDEN unsigned generic_raw(const Board &b, const SubdevDesc &sd, unsigned ch, unsigned range, uint64_t t_ns,
                                uint64_t index);
EMU_HIDDEN unsigned ct_waveform(const SubdevDesc &sd, unsigned ch, unsigned range, uint64_t t_us);
} // namespace sig
} // namespace emu
