// Protocol detection in an appliance pair with the policy that keeps
// encrypted sessions out of the byte cache (DPI_SKIP_CACHE=1): an HTTP and
// an HTTPS download from nginx run at once through the tunnel.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "pairrig.hh"

using namespace pairtest;

TEST(PairDPI, EncryptedSessionsSkipTheByteCache) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    if (run("command -v nginx >/dev/null && command -v curl >/dev/null && command -v openssl >/dev/null") != 0)
        GTEST_SKIP() << "needs nginx, curl and openssl (scripts/install-deps.sh installs them)";
    const size_t size = 2 << 20;
    TempDir tmp;
    const std::string d = tmp.path;
    run("chmod 755 " + d + "; mkdir -p " + d + "/www");  // nginx's workers read as another user
    write_random_file(d + "/www/plain", size, 21);
    write_random_file(d + "/www/secret", size, 22);
    std::string out;
    ASSERT_EQ(run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + d + "/tls.key -out " + d +
                      "/tls.crt -days 2 -subj /CN=www.quilo.test",
                  &out),
              0)
        << out;
    std::ofstream(d + "/nginx.conf")
        << "worker_processes 1; daemon off; pid " << d << "/nginx.pid; error_log " << d << "/nginx.err;\n"
        << "events { worker_connections 64; }\n"
        << "http { access_log off; client_body_temp_path " << d << "/t1; proxy_temp_path " << d << "/t2;\n"
        << "  fastcgi_temp_path " << d << "/t3; uwsgi_temp_path " << d << "/t4; scgi_temp_path " << d << "/t5;\n"
        << "  server { listen 10.77.0.2:80; root " << d << "/www; }\n"
        << "  server { listen 10.77.0.2:443 ssl; ssl_certificate " << d << "/tls.crt;\n"
        << "           ssl_certificate_key " << d << "/tls.key; root " << d << "/www; } }\n";

    PairOptions o;
    o.defines = {"DPI_SKIP_CACHE=1"};
    PairRig r(o);
    ASSERT_TRUE(r.up()) << r.error();
    // Bounded by timeout whatever happens to the test; stopped by its pid file.
    r.exec("server", "timeout 120 nginx -e " + d + "/nginx.err -p " + d + " -c " + d + "/nginx.conf >/dev/null 2>&1 &");
    ASSERT_TRUE(r.server_listening(80) && r.server_listening(443)) << "nginx did not start";

    uint64_t cached0 = r.count("b", "peer1/dd.encode_bytes_in");
    int st = r.exec("client",
                    "curl -sSf --max-time 60 -o " + d + "/got_plain http://10.77.0.2/plain & P=$!; "
                    "curl -sSfk --max-time 60 -o " + d + "/got_secret --resolve www.quilo.test:443:10.77.0.2 "
                    "https://www.quilo.test/secret; S=$?; wait $P; test $? = 0 && test $S = 0",
                    &out);
    run("kill $(cat " + d + "/nginx.pid) 2>/dev/null");
    ASSERT_EQ(st, 0) << out;
    EXPECT_TRUE(same_file(d + "/www/plain", d + "/got_plain"));
    EXPECT_TRUE(same_file(d + "/www/secret", d + "/got_secret"));

    // B sends both downloads towards A. Both sessions crossed the tunnel
    // (B saw the client's TLS handshake only once A had sent it through and
    // B had restored it), but only the plain one went through the byte cache, apart from the
    // encrypted session's first packets (its handshake, before detection
    // ended).
    uint64_t cached = r.count("b", "peer1/dd.encode_bytes_in") - cached0;
    std::printf("byte cache took %llu bytes of two %zu-byte downloads\n", (unsigned long long)cached, size);
    EXPECT_GE(cached, size * 9 / 10);
    EXPECT_LE(cached, size + 64 * 1024) << "the encrypted download went through the byte cache";
    for (const char* a : {"a", "b"}) {
        std::string protos = r.read(a, "dpi.protocols");
        EXPECT_NE(protos.find("HTTP "), std::string::npos) << a << ": " << protos;
        EXPECT_NE(protos.find("TLS "), std::string::npos) << a << ": " << protos;
        EXPECT_NE(r.read(a, "dpi.flows").find("host=www.quilo.test"), std::string::npos) << a;
    }
}
