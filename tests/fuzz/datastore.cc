// The byte cache's files on load: the datastore (records of a fingerprint
// and a chunk) and its .info file (the slot where writing resumes) as left
// by a crash, a full disk or another program. The input is the .info file
// (a 1-byte length, then its bytes) and the datastore file (the rest). The
// engine opens them, loads every record into its index, and then encodes
// the chunks the file holds (lookups of every stored fingerprint, written
// back on disk) and decodes them again, with the rehydrated bytes compared.
#include <sys/stat.h>

#include "dedup/persistentcache.hh"
#include "dedup/wdedup.hh"
#include "fuzz.hh"

namespace {

void fail(const char* what) {
    std::fprintf(stderr, "datastore: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A directory of its own, removed with its two files at exit.
    static struct Dir {
        fuzz::TempFile dir{"datastore"};
        std::string path = WDedup::datastore_path(dir.path(), 1);
        Dir() {
            set_dedup_message_sink([](const char*) {});
            mkdir(dir.path().c_str(), 0700);
        }
        ~Dir() {
            unlink(path.c_str());
            unlink((path + ".info").c_str());
            rmdir(dir.path().c_str());
        }
    } d;
    const std::string& path = d.path;
    fuzz::Input in(data, size);
    {
        std::string i = in.bytes(in.u8());
        FILE* f = std::fopen((path + ".info").c_str(), "wb");
        std::fwrite(i.data(), 1, i.size(), f);
        std::fclose(f);
        std::string ds = in.rest();
        f = std::fopen(path.c_str(), "wb");
        std::fwrite(ds.data(), 1, ds.size(), f);
        std::fclose(f);
    }

    {
        WDedup e(path, 1, WDedup::CHUNK_LEN, 4);
        if (e.wait_prepared(10000)) {
            // Payloads made of what the file stores: whole records' chunks.
            std::string ds;
            {
                FILE* f = std::fopen(path.c_str(), "rb");
                char buf[4096];
                size_t n;
                while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
                    ds.append(buf, n);
                std::fclose(f);
            }
            const size_t rec = 8 + WDedup::CHUNK_LEN;
            std::set<uint64_t> missing;
            uint8_t enc[WDedup::MAX_PAYLOAD], dec[WDedup::MAX_PAYLOAD];
            for (size_t off = 0; off + rec <= ds.size() && off < 8 * rec; off += rec) {
                std::string payload = ds.substr(off + 8, WDedup::CHUNK_LEN) + ds.substr(off + 8, 600);
                int n = e.compress(reinterpret_cast<const uint8_t*>(payload.data()), enc, int(payload.size()),
                                   WDedup::MAX_PAYLOAD);
                if (n > WDedup::MAX_PAYLOAD)
                    fail("encoding longer than its buffer");
                if (n > 0) {
                    int m = e.decompress(enc, dec, n, WDedup::MAX_PAYLOAD, missing, false);
                    if (m >= 0 && (size_t(m) != payload.size() || std::memcmp(dec, payload.data(), size_t(m)) != 0))
                        fail("a stored chunk decodes to other bytes");
                }
                e.writedisk();
            }
        }
    }
    return 0;
}
