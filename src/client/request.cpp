// kqvxi_request: one request from this process to a controller's server through
// the board library's request channel.
#include "kqvxi/client.h"

#include "client/registration.h"
#include "driver/kqvxint_sim.h"
#include "platform/process.h"

static_assert(KQ_SIM_REQUEST_OK == KQVXI_OK && KQ_SIM_REQUEST_TIMEOUT == KQVXI_E_TIMEOUT &&
                  KQ_SIM_REQUEST_ARG == KQVXI_E_ARG && KQ_SIM_REQUEST_SYSTEM == KQVXI_E_SYSTEM,
              "the channel's statuses are passed through unchanged");

extern "C" int kqvxi_request(uint16_t controller, uint32_t command, uint32_t* arg1, uint32_t* arg2,
                             uint32_t* arg3, uint32_t timeoutMs) {
    if (arg1 == nullptr || arg2 == nullptr || arg3 == nullptr) {
        return KQVXI_E_ARG;
    }
    int status =
        KqSimRequest(controller, OsCurrentProcessId(), command, arg1, arg2, arg3, timeoutMs);
    if (status == KQVXI_OK && command == KQVXI_CMD_REGISTER) {
        NoteRegistrationAnswered();
    }
    return status;
}
