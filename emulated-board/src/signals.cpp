// SPDX-License-Identifier: LGPL-2.1-or-later
// The signals the emulated converters see: the ADC and DAC transfers, the documented test
// voltages of the vorn_emu inputs, and comedi_test's waveforms.
#include <cmath>

#include <comedi.h>

#include "signals.h"
#include "device.h"

namespace emu {

namespace sig {

unsigned volts_to_raw(double v, const Range &r, unsigned maxdata) {
    double mn = r.min_uv * 1e-6, mx = r.max_uv * 1e-6;
    double s = std::floor((v - mn) / (mx - mn) * maxdata + 0.5);
    if (!(s > 0)) return 0;
    if (s > maxdata) return maxdata;
    return unsigned(s);
}

double raw_to_volts(unsigned raw, const Range &r, unsigned maxdata) {
    double x = raw;
    x /= maxdata;
    x *= (r.max_uv - r.min_uv) * 1e-6;
    x += r.min_uv * 1e-6;
    return x;
}

double voltage(const Board &b, unsigned ch, uint64_t t_ns) {
    switch (ch) {
    case 0: return 0.0;
    case 1: return 1.0;
    case 2: return -2.5;
    case 3: return 4.0;
    case 4: { // 10 Hz: reduce the time to one period first so large clocks keep precision
        double ph = double(t_ns % 100000000ull) / 1e8;
        return 2.0 * std::sin(2.0 * M_PI * ph);
    }
    case 5: return (t_ns % 200000000ull) < 100000000ull ? 3.0 : -3.0;
    case 6: return -4.0 + 8.0 * double(t_ns % 500000000ull) / 5e8;
    case 8: return 9.0;
    case 9: return -9.0;
    case 10: return 0.5;
    case 11: return -0.5;
    case 12: return 3.3;
    case 13: return -7.0;
    case 14:
    case 15:
        for (unsigned i = 0; i < b.n_subs(); ++i)
            if (b.desc(i).type == COMEDI_SUBD_AO) return b.sub(i).ao_volt[ch - 14];
        return 0.0;
    default: return 0.0;
    }
}

// The rig: AO0 directly, AO0 through the low-pass, AO1 directly, then fixed signals.
double rig_voltage(const Board &b, unsigned ch, uint64_t t_ns) {
    const SubState *ao = nullptr;
    for (unsigned i = 0; i < b.n_subs() && !ao; ++i)
        if (b.desc(i).type == COMEDI_SUBD_AO) ao = &b.sub(i);
    switch (ch) {
    case 0: return ao ? ao->ao_volt[0] : 0.0;
    case 1: return rc_value(*b.s, t_ns);
    case 2: return ao ? ao->ao_volt[1] : 0.0;
    case 3: return voltage(b, 1, t_ns);  // +1.0 V
    case 4: return voltage(b, 2, t_ns);  // -2.5 V
    case 5: return voltage(b, 3, t_ns);  // +4.0 V
    case 6: return voltage(b, 4, t_ns);  // 2 sin(2 pi 10 t)
    case 7: return voltage(b, 5, t_ns);  // square +-3 V, 5 Hz
    default: return 0.0;
    }
}

unsigned generic_raw(const Board &b, const SubdevDesc &sd, unsigned ch, unsigned range, uint64_t t_ns,
                     uint64_t index) {
    if (ch == 7) return unsigned(index % (uint64_t(sd.maxdata) + 1));
    const double v = voltage(b, ch, t_ns);
    return sd.ops->adc ? sd.ops->adc(v, sd, range) : volts_to_raw(v, sd.ranges[range], sd.maxdata);
}

// comedi_test: amplitude 1 V (in µV), period 100 ms (in µs); waveform time in µs.
unsigned ct_waveform(const SubdevDesc &sd, unsigned ch, unsigned range, uint64_t t_us) {
    const uint64_t amplitude = 1000000, period = 100000;
    const uint64_t maxdata = sd.maxdata, offset = sd.maxdata / 2;
    const Range &kr = sd.ranges[range];
    uint64_t binamp = maxdata * amplitude / uint64_t(kr.max_uv - kr.min_uv);
    t_us %= period;
    if (ch == 0) {
        uint64_t value = t_us * binamp * 2 / period + offset;
        if (value < binamp) return 0;
        value -= binamp;
        return unsigned(value > maxdata ? maxdata : value);
    }
    if (ch == 1) {
        if (t_us < period / 2) return offset < binamp ? 0 : unsigned(offset - binamp);
        uint64_t value = binamp + offset;
        return unsigned(value > maxdata ? maxdata : value);
    }
    return unsigned(offset);
}

} // namespace sig
} // namespace emu
