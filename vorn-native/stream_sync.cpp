// SPDX-License-Identifier: LGPL-2.1-or-later
/* The synchronised start of an input and an output stream on one board: both commands armed with
 * an internal start trigger, then started by one instruction list, which the driver runs at one
 * instant. */
#include <cstring>

#include "device_common.h"
#include "org_vorn_acq_comedi_SynchronizedStart.h"
#include "stream_input.h"
#include "util.h"

extern "C" {

/* One INSNLIST of two INSN_INTTRIG: the input's first. The list goes through the output's file;
 * the core lets any file of the board trigger a subdevice. */
JNIEXPORT void JNICALL Java_org_vorn_acq_comedi_SynchronizedStart_nTriggerTogether(JNIEnv *env, jclass,
                                                                                 jobject inputHandle,
                                                                                 jobject outputHandle)
{
    ComediHandle *in = getComediHandle(env, inputHandle);
    if (in == nullptr || !requireOpenDevice(env, in, "Error starting both commands")) {
        return;
    }
    ComediHandle *out = getComediHandle(env, outputHandle);
    if (out == nullptr || !requireOpenDevice(env, out, "Error starting both commands")) {
        return;
    }
    lsampl_t data[2] = {in->cmd.start_arg, out->cmd.start_arg};
    comedi_insn insns[2];
    memset(insns, 0, sizeof insns);
    insns[0].insn = INSN_INTTRIG;
    insns[0].n = 1;
    insns[0].data = &data[0];
    insns[0].subdev = in->subdev;
    insns[1].insn = INSN_INTTRIG;
    insns[1].n = 1;
    insns[1].data = &data[1];
    insns[1].subdev = out->subdev;
    comedi_insnlist list = {2, insns};
    const int ran = comedi_do_insnlist(out->dev, &list);
    if (ran != 2) {
        throwFormattedException(env, COMEDI_EXCEPTION, "Error starting both commands: %s", getComediError());
    }
}

} // extern "C"
