/* Sends one request to a controller no server serves: the library must answer
   with a time-out status, not hang or crash. */
#include <stdio.h>
#include <kqvxi/client.h>

int main(void) {
    uint32_t a1 = 1, a2 = 2, a3 = 3;
    int rc = kqvxi_request(4321, KQVXI_CMD_SWEEP, &a1, &a2, &a3, 100);
    printf("status %d\n", rc);
    return rc == KQVXI_E_TIMEOUT ? 0 : 1;
}
