// The OpenSSL binding when the libraries cannot be found: every wrapper gives
// its fixed result without calling anything. A program of its own, because
// libraries once loaded stay loaded.
#include <gtest/gtest.h>

#include "support/tls_missing.h"
#include "tlsbind/tlsbind.h"

using namespace quorrel;

namespace {

TEST(TlsBindMissingTest, WrappersFallBackAndLoadingIsRetried) {
  PointTlsLibrariesNowhere("/nonexistent/libssl.so.1.1:");
  EXPECT_FALSE(LoadTlsLibraries());
  EXPECT_FALSE(TlsLibrariesLoaded());
  EXPECT_TRUE(TlsLibraryPath.empty());

  char Buffer[16] = {};
  EXPECT_EQ(Ssl_get_error(nullptr, -1), 1);
  EXPECT_EQ(Ssl_CTX_set_cipher_list(nullptr, "DEFAULT"), 0);
  EXPECT_EQ(Ssl_CTX_new(nullptr), nullptr);
  EXPECT_EQ(Ssl_set_fd(nullptr, 3), 0);
  EXPECT_EQ(SslV2_method(), nullptr);
  EXPECT_EQ(SslV3_method(), nullptr);
  EXPECT_EQ(TlsV1_method(), nullptr);
  EXPECT_EQ(SslV23_method(), nullptr);
  EXPECT_EQ(Ssl_CTX_use_PrivateKey_file(nullptr, "k", 1), 0);
  EXPECT_EQ(Ssl_CTX_use_certificate_chain_file(nullptr, "c"), 0);
  EXPECT_EQ(Ssl_CTX_load_verify_locations(nullptr, "c", nullptr), 0);
  EXPECT_EQ(Ssl_new(nullptr), nullptr);
  EXPECT_EQ(Ssl_connect(nullptr), -1);
  EXPECT_EQ(Ssl_shutdown(nullptr), -1);
  EXPECT_EQ(Ssl_read(nullptr, Buffer, sizeof Buffer), -1);
  EXPECT_EQ(Ssl_write(nullptr, Buffer, sizeof Buffer), -1);
  EXPECT_EQ(Ssl_pending(nullptr), 0);
  EXPECT_EQ(Err_error_string(1, Buffer), nullptr);
  EXPECT_EQ(Err_get_error(), 1u);
  std::string Digest = "stale", Mac = "stale", Key = "stale";
  EXPECT_FALSE(CryptoSha256("abc", Digest));
  EXPECT_FALSE(CryptoHmacSha256("key", "data", Mac));
  EXPECT_FALSE(CryptoPbkdf2HmacSha256("password", "salt", 4096, Key));
  EXPECT_EQ(Digest + Mac + Key, "");  // a failed digest leaves no stale bytes
  EXPECT_FALSE(TlsLibrariesLoaded());
  // Calls without a result do nothing (and above all do not crash).
  Ssl_CTX_free(nullptr);
  Ssl_free(nullptr);
  Ssl_CTX_set_verify(nullptr, 1, nullptr);
  Ssl_CTX_set_default_passwd_cb(nullptr, nullptr);
  Ssl_CTX_set_default_passwd_cb_userdata(nullptr, nullptr);
  Err_clear_error();
  Err_remove_state(0);
  Evp_cleanup();
  Crypto_cleanup_all_ex_data();
  EXPECT_TRUE(UnloadTlsLibraries());
  EXPECT_FALSE(TlsLibrariesLoaded());
}

}  // namespace
