// SPDX-License-Identifier: LGPL-2.1-or-later
// The softcal board's converter errors (softcal.cpp).
#pragma once

#include "emu_internal.h"

namespace emu {

struct ConverterError {
    double gain;   // G: relative slope error
    double offset; // O: codes at mid-scale
    double square; // E: codes at the ends of the span, (c - M)^2 / M
};

EMU_HIDDEN const ConverterError &softcal_ai_error(unsigned range);
EMU_HIDDEN const ConverterError &softcal_ao_error(unsigned range);
EMU_HIDDEN unsigned softcal_adc(double v, const SubdevDesc &sd, unsigned range);
EMU_HIDDEN double softcal_dac(unsigned raw, const SubdevDesc &sd, unsigned range);

} // namespace emu
