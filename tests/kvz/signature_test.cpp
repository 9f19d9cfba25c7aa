// Signed patches: key pairs, signatures checked by kvz verify, and kvpatch refusing a patch
// that kvpatch.ini requires to be signed by a trusted key before it changes anything, while
// the installation's own undo patches go through unsigned. Mail and queue carry the signature.
#include "kernel/files/paths.h"
#include "patch/distribute.h"
#include "tests/kvz/kvz_fixture.h"
#include "tests/mail/mail_support.h"

#include <filesystem>
#include <functional>

using namespace kvz_test;
namespace fs = std::filesystem;

namespace {

class Signed : public Scene {
protected:
    void SetUp() override {
        Scene::SetUp();
        tree("KOVABrisel");
        installed("KOVABrisel/abc/a.dat", "old", 2025);
        patch_ = build("fix", {component("kova2000/abc/a.dat", "new", 2026)});
        ASSERT_EQ(kvz({"keygen", "rel", "--signer", "Release Builder"}).status, 0);
        ASSERT_EQ(kvz({"keygen", "other"}).status, 0);
    }
    std::string sign(const std::string &key = "rel.key") {
        RunResult r = kvz({"sign", patch_, "--key", key});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
    // Nothing of the tree changed: the installed copy, its time, and no undo patch.
    void expect_untouched() {
        EXPECT_EQ(read_file(host("KOVABrisel/abc/a.dat")), "old");
        EXPECT_FALSE(fs::exists(host("KOVABrisel/unpatch")));
    }
    std::string patch_;
};

TEST_F(Signed, KeygenWritesAPrivateAndAPublicKeyAndNeverOverwrites) {
    fs::perms secret = fs::status(host("rel.key")).permissions();
    EXPECT_EQ(secret & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    std::string pub = read_file(host("rel.pub"));
    EXPECT_EQ(pub.rfind("kvz-public-key 1\nsigner: Release Builder\nkey: ", 0), 0u) << pub;
    EXPECT_EQ(read_file(host("rel.key")).rfind("kvz-secret-key 1\nsigner: Release Builder\n", 0),
              0u);

    std::string key = read_file(host("rel.key"));
    RunResult again = kvz({"keygen", "rel"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("exists already"), std::string::npos) << again.err;
    EXPECT_EQ(read_file(host("rel.key")), key);
    EXPECT_EQ(kvz({"keygen", "x", "--signer", std::string(257, 'x')}).status, 1);
    EXPECT_FALSE(fs::exists(host("x.key")));
}

TEST_F(Signed, VerifySaysWhoSignedAndRefusesTamperingAndOtherKeys) {
    RunResult unsigned_ok = kvz({"verify", patch_});
    EXPECT_EQ(unsigned_ok.status, 0);
    EXPECT_NE(unsigned_ok.out.find("sound, not signed"), std::string::npos) << unsigned_ok.out;
    EXPECT_EQ(kvz({"verify", patch_, "--key", "rel.pub"}).status, 1) << "a key asks for one";

    EXPECT_NE(sign().find("signed by Release Builder (key "), std::string::npos);
    RunResult good = kvz({"verify", patch_, "--key", "rel.pub"});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_NE(good.out.find("sound, signed by Release Builder (key "), std::string::npos);
    EXPECT_NE(good.out.find("trusted by rel.pub"), std::string::npos) << good.out;

    RunResult other = kvz({"verify", patch_, "--key", "other.pub"});
    EXPECT_EQ(other.status, 1);
    EXPECT_NE(other.err.find("which is not a trusted key"), std::string::npos) << other.err;

    // One changed byte anywhere in the patch, even one that still decodes.
    std::string bytes = read_file(patch_);
    bytes[800] ^= 0x20; // inside the component's stored path
    write_file(patch_, bytes);
    RunResult tampered = kvz({"verify", patch_});
    EXPECT_EQ(tampered.status, 1);
    EXPECT_NE(tampered.err.find("does not match the patch"), std::string::npos) << tampered.err;

    // Nor can the signer's name be changed.
    bytes[800] ^= 0x20;
    write_file(patch_, bytes);
    std::string sig = read_file(patch_ + ".sig");
    sig.replace(sig.find("Release Builder"), 7, "Someone");
    write_file(patch_ + ".sig", sig);
    EXPECT_EQ(kvz({"verify", patch_}).status, 1);
}

TEST_F(Signed, RequiredSignaturesRefuseBeforeAnythingIsWritten) {
    fs::create_directories(tools_ / "keys");
    fs::copy_file(host("rel.pub"), tools_ / "keys/rel.pub");
    settings("requiresignature=1\r\ntrustedkeys=keys\r\n");
    struct Case {
        const char *name;
        std::function<void()> prepare;
        const char *message;
    };
    const Case cases[] = {
        {"unsigned", [] {}, "it is not signed ("},
        {"another key", [this] { sign("other.key"); }, "it is signed by other with key "},
        {"a changed byte",
         [this] {
             sign();
             std::string bytes = read_file(patch_);
             bytes.back() ^= 1;
             write_file(patch_, bytes);
         },
         "does not match the patch (the patch was changed after it was signed)"},
        {"a damaged signature",
         [this] { write_file(patch_ + ".sig", "kvz-signature 1\nsigner: x\n"); }, "cannot be read"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(patch_ + ".sig");
        c.prepare();
        fs::remove(host("KOVABrisel/setup.log"));
        EXPECT_EQ(install("S:\\source\\patches\\fix.kvz").status, 1);
        EXPECT_NE(setup_log().find(c.message), std::string::npos) << setup_log();
        expect_untouched();
    }

    // Made again, signed by the trusted key: installed.
    patch_ = build("fix2", {component("kova2000/abc/a.dat", "new", 2026)});
    sign();
    RunResult good = install("S:\\source\\patches\\fix2.kvz");
    EXPECT_EQ(good.status, 0) << setup_log();
    EXPECT_EQ(read_file(host("KOVABrisel/abc/a.dat")), "new");

    // Its undo patch was written here by the installation: it goes back unsigned.
    ASSERT_TRUE(fs::exists(host("KOVABrisel/unpatch/0.kvz")));
    fs::copy_file(host("KOVABrisel/unpatch/0.kvz"), host("undo.kvz"));
    EXPECT_EQ(install("S:\\undo.kvz").status, 1) << "an undo patch from elsewhere is not";
    EXPECT_EQ(read_file(host("KOVABrisel/abc/a.dat")), "new");
    EXPECT_EQ(install("S:\\KOVABrisel\\unpatch\\0.kvz").status, 0) << setup_log();
    EXPECT_EQ(read_file(host("KOVABrisel/abc/a.dat")), "old");
}

TEST_F(Signed, TrustNeedsKeysThatCanBeRead) {
    settings("requiresignature=1\r\n");
    sign();
    EXPECT_EQ(install("S:\\source\\patches\\fix.kvz").status, 1);
    EXPECT_NE(setup_log().find("no trusted keys are configured"), std::string::npos);
    settings("requiresignature=1\r\ntrustedkeys=S:\\rel.pub; missing.pub\r\n");
    EXPECT_EQ(install("S:\\source\\patches\\fix.kvz").status, 1);
    EXPECT_NE(setup_log().find("the trusted key '"), std::string::npos) << setup_log();
    EXPECT_NE(setup_log().find("missing.pub' cannot be read"), std::string::npos);
    expect_untouched();

    // Without requiresignature the signature is not looked at, as before.
    settings("trustedkeys=missing.pub\r\n");
    EXPECT_EQ(install("S:\\source\\patches\\fix.kvz").status, 0) << setup_log();
}

// Mail and the collection share hand the signature on with its patch.
TEST(SignedDistribution, MailAndQueueCarryTheSignature) {
    kova_test::TempPrefix prefix;
    kova_test::TempDir share;
    fs::path cwd = fs::current_path();
    std::string drive = prefix.map_drive('S');
    write_file(drive + "/source/patches/fix1.kvz", "patch");
    write_file(drive + "/source/patches/fix1.kvz.sig", "signature");
    write_file(drive + "/home/kova.ini", "");
    fxi_set_data_home("S:\\home\\");
    ASSERT_TRUE(SetCurrentDirectoryA("S:\\"));
    {
        mail_test::Screen screen;
        mail_test::MailClient client;
        patch_mail("fix1");
        EXPECT_EQ(screen.boxes, std::vector<std::string>{});
        std::vector<std::string> args = client.args();
        std::vector<std::string> attached;
        for (size_t i = 0; i + 1 < args.size(); ++i)
            if (args[i] == "--attach") attached.push_back(args[i + 1]);
        EXPECT_EQ(attached, (std::vector<std::string>{drive + "/source/patches/fix1.kvz",
                                                      drive + "/source/patches/fix1.kvz.sig"}));
    }
    {
        std::string server = prefix.path() + "/dosdevices/unc/kovabackup";
        fs::create_directories(server);
        fs::create_directory_symlink(share.path(), server + "/kovasend");
        mail_test::Screen screen;
        screen.type("12\r\r");
        patch_queue("fix1");
        EXPECT_EQ(read_file(share / "today/12/fix1.kvz"), "patch");
        EXPECT_EQ(read_file(share / "today/12/fix1.kvz.sig"), "signature");
    }
    fs::current_path(cwd);
}

} // namespace
