// SPDX-License-Identifier: LGPL-2.1-or-later
/* The C reference streaming loop with libvorn's rawToPhys in place of comedi_to_phys, so that the
 * benchmark can show what the conversion alone costs either way (same read, same loop). */
#include "device_common.h"

extern "C" int vornbenchConvertInline(const void *raw, int lsampl, int nSample, double *out, comedi_range *ranges,
                                      const lsampl_t *maxdata, int channel, int nChannels)
{
    const bool numbers = comediConvertsRangeEnds();
    for (int k = 0; k < nSample; ++k) {
        const lsampl_t value = lsampl ? static_cast<const lsampl_t *>(raw)[k] : static_cast<const sampl_t *>(raw)[k];
        out[k] = rawToPhys(value, &ranges[channel], maxdata[channel], numbers);
        if (++channel == nChannels) {
            channel = 0;
        }
    }
    return channel;
}
