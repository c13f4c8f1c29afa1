/* Asks a controller no server serves for its state and sends it one request:
   the library must answer that no server runs and that the request timed out,
   not hang or crash. */
#include <stdio.h>
#include <kqvxi/kqvxi.h>

int main(void) {
    kqvxi_server_info server;
    int status = kqvxi_server_status(4321, &server, NULL, 0);
    uint32_t a1 = 1, a2 = 2, a3 = 3;
    int rc = kqvxi_request(4321, KQVXI_CMD_SWEEP, &a1, &a2, &a3, 100);
    printf("status %d request %d\n", status, rc);
    return status == KQVXI_E_NO_SERVER && rc == KQVXI_E_TIMEOUT ? 0 : 1;
}
