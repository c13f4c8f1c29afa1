// raii_reader: the kqvxi handle in a few lines of C++ RAII, reading every flag
// class until COUNT records arrived or SECONDS passed without one.
//
//     raii_reader [CONTROLLER [COUNT [SECONDS]]]
//
// Exit status: 0 done, 1 a failure of the library.
#include <kqvxi/kqvxi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

// The handle: registered while it lives, unregistered and freed when it goes.
struct ClientDeleter {
    void operator()(kqvxi_client* c) const noexcept { kqvxi_client_free(c); }
};
using ClientPtr = std::unique_ptr<kqvxi_client, ClientDeleter>;

int Check(int status, const char* what) {
    if (status < 0) {
        throw std::runtime_error(std::string(what) + ": " + kqvxi_strerror(status));
    }
    return status;
}

ClientPtr OpenClient(std::uint16_t controller) {
    kqvxi_client* raw = nullptr;
    Check(kqvxi_client_open(controller, nullptr, &raw), "register");
    return ClientPtr(raw);
}

}  // namespace

int main(int argc, char** argv) {
    const auto controller = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 1);
    const long count = argc > 2 ? std::atol(argv[2]) : 10;
    const long seconds = argc > 3 ? std::atol(argv[3]) : 10;
    try {
        ClientPtr client = OpenClient(controller);
        for (int cls : {0, 2, 3, 4, 5, KQVXI_CLASS_SOURCE}) {
            Check(kqvxi_select_class(client.get(), cls, 1), "select");
        }
        std::printf("ready\n");
        std::fflush(stdout);
        long seen = 0;
        kqvxi_event ev[16];
        while (seen < count) {
            int n = Check(
                kqvxi_client_read(client.get(), ev, 16, static_cast<std::uint32_t>(seconds * 1000)),
                "read");
            if (n == 0) {
                std::printf("no record for %ld s\n", seconds);
                break;
            }
            for (int i = 0; i < n; ++i, ++seen) {
                std::printf("class %d value %d\n", ev[i].cls, static_cast<int>(ev[i].value));
            }
            std::fflush(stdout);
        }
        std::printf("received %ld\n", seen);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "raii_reader: %s\n", e.what());
        return 1;
    }
    return 0;
}
