// The road of a datagram through the display: any bytes go through
// Affichage on Qt's offscreen platform, are stored as the display stores its
// last message and read back as it replays it at start. Invariants: the
// interpreter only refuses with its documented errors and changes nothing
// then; what is read back is what was stored, cut at the first NUL (the
// profile functions take C strings) and at 589 characters (the read
// buffer); the port setting beside it is never touched.

#include <QApplication>
#include <QColor>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "display/fonts.h"
#include "display/form1.h"
#include "errors/error.h"
#include "fuzz_support.h"
#include "profile/profile_value.h"
#include "scratch_home.h"
#include "win32/file_ops.h"

namespace {

using ecran::display::Form1;
using ecran::display::kProfileFile;
namespace profile = ecran::profile;

constexpr std::size_t kStoredMessageLimit = 589;
constexpr const char* kFile = "; written by hand\r\n[ecran]\r\nport=4445\r\n\r\n[historique]\r\ninfos=\r\n";

// The rename still happens, so every write replaces the file as on a disk;
// only the wait for the disk is skipped.
class NoSyncFileOps : public ecran::win32::FileOps {
public:
    int fsync(int) override { return 0; }
};

struct FuzzedDisplay {
    int argc = 1;
    char name[16] = "datagram_fuzz";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QApplication> app;
    std::unique_ptr<Form1> form;
    NoSyncFileOps ops;
    std::unique_ptr<ecran::win32::ScopedFileOps> scoped;
};

FuzzedDisplay& display() {
    static FuzzedDisplay d;
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const auto& home = ecran::fuzz::makeScratchHome();
    std::filesystem::create_directories(home / "ecran");
    std::ofstream(home / "ecran" / kProfileFile, std::ios::binary) << kFile;

    FuzzedDisplay& d = display();
    d.app = std::make_unique<QApplication>(d.argc, d.argv);
    (void)ecran::display::installFontStandIn();
    d.form = std::make_unique<Form1>();
    d.scoped = std::make_unique<ecran::win32::ScopedFileOps>(d.ops);
    // Qt's objects go before the static destructors of the libraries they use.
    std::atexit([] {
        display().form.reset();
        display().app.reset();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Form1& form = *display().form;
    const std::string message(reinterpret_cast<const char*>(data), size);

    const std::string caption1 = form.Label1->caption();
    const std::string caption2 = form.Label2->caption();
    const std::int32_t colour = form.label1ForeColorNumber();
    const QColor fore = form.Label1->foreColor();
    try {
        form.Affichage(message);
        if (message.empty() || message[0] != '\xFF') {
            FUZZ_CHECK(form.Label1->caption() == message);
        } else if (message.size() >= 2 && message[1] == '1') {
            FUZZ_CHECK(form.Label2->caption() == message.substr(2));
        } else {
            FUZZ_CHECK(form.Label1->caption() == caption1);
            FUZZ_CHECK(form.Label2->caption() == caption2);
        }
    } catch (const ecran::errors::Error& e) {
        // A colour the display refuses (380) or a number too large (6):
        // nothing has changed on screen.
        FUZZ_CHECK(e.number() == ecran::errors::kOverflow || e.number() == ecran::errors::kInvalidPropertyValue);
        FUZZ_CHECK(message.size() >= 2 && message[0] == '\xFF' && message[1] == '2');
        FUZZ_CHECK(form.label1ForeColorNumber() == colour);
        FUZZ_CHECK(form.Label1->foreColor() == fore);
        FUZZ_CHECK(form.Label1->caption() == caption1);
    }
    QCoreApplication::processEvents();

    // Stored as the display stores every message, whatever its kind, and
    // read back as the next start reads it.
    (void)profile::ProfileValue("historique", "infos", message, kProfileFile, profile::kWriteMode);
    const std::string stored = profile::ProfileValue("historique", "infos", "", kProfileFile, profile::kReadMode);
    const std::string expected = message.substr(0, std::min(message.find('\0'), kStoredMessageLimit));
    FUZZ_CHECK(stored == expected);
    FUZZ_CHECK(profile::ProfileValue("ecran", "port", "", kProfileFile, profile::kReadMode) == "4445");
    return 0;
}
