// Uploads: "upload" (command 23) and the resumable form "resume_get_token",
// "resume_get_status", "resume_upload" (command 27). Content is checked against the
// client's MD4 before anything is stored; deltas are applied with the project's own
// patcher against the base version's blob.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "delta/delta_file_reader.h"
#include "delta/md4_hash_handler.h"
#include "delta/simple_file_reader.h"
#include "ref_connection.h"

namespace {
// Serialises the last check and the store of every upload (all connections).
Mutex g_store_lock;

// A non-zero id for stored content, derived from its hash.
uint64_t FileIdOf(const std::string& hash) {
    uint64_t id = std::stoull(hash.substr(0, 15), nullptr, 16);
    return id | 1;
}

std::string Md4Of(const std::string& path) {
    ustring out;
    SimpleFileReader reader;
    reader.setFile(path);
    reader.setHashString(out);
    return reader.readFile() == DeltaResult::kDone ? out.str() : std::string();
}

// Appends up to limit bytes of from to the end of to; the bytes appended, or -1.
int64_t AppendFile(const std::string& from, const std::string& to, uint64_t limit) {
    FILE* in = fopen(from.c_str(), "rb");
    if (!in) return -1;
    FILE* out = fopen(to.c_str(), "ab");
    if (!out) {
        fclose(in);
        return -1;
    }
    char buf[65536];
    uint64_t done = 0;
    bool ok = true;
    while (done < limit) {
        size_t want = limit - done < sizeof buf ? (size_t)(limit - done) : sizeof buf;
        size_t n = fread(buf, 1, want, in);
        if (n == 0) break;
        if (fwrite(buf, 1, n, out) != n) {
            ok = false;
            break;
        }
        done += n;
    }
    ok = ok && !ferror(in);
    fclose(in);
    if (fclose(out) != 0) ok = false;
    return ok ? (int64_t)done : -1;
}

uint64_t FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

// Bodies up to this size are hashed from one read into memory.
constexpr uint64_t kSmallBody = 64 * 1024;

// Whether the file at path holds size bytes whose MD4 is hash.
bool ContentMatches(const std::string& path, const std::string& hash, uint64_t size) {
    if (size > kSmallBody) return FileSize(path) == size && Md4Of(path) == hash;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[kSmallBody + 1];
    const size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    if (n != size) return false;
    ustring hex;
    MD4HashHandler md4(&hex);
    return md4.begin() && md4.update((const uint8_t*)buf, n) && md4.end() && hex.str() == hash;
}

// Creates the missing (or removed) directories above path, top first, each as a change
// of its own, as a server does for an item stored into a folder it does not hold yet:
// clients record a stored item's folders as present. 0 when every ancestor is now a
// live directory, 1 when one is a live file (its path in *blocker), -1 on a storage
// failure. The caller holds the store lock.
int MakeParents(Storage& storage, uint64_t view, const std::string& path, uint64_t mtime, std::string* made,
                std::string* blocker) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        ChangeRow cur;
        const int found = storage.Current(view, parent, &cur);
        if (found < 0) return -1;
        if (found == 1 && !cur.is_removed) {
            if (cur.is_dir) continue;
            *blocker = parent;
            return 1;
        }
        ChangeRow dir;
        dir.view_id = view;
        dir.path = parent;
        dir.is_dir = true;
        dir.mtime = mtime;
        uint64_t id = 0;
        if (storage.AddChange(dir, &id) != 0) return -1;
        *made += (made->empty() ? "" : ", ") + parent;
    }
    return 0;
}

}  // namespace

void RefConnection::StoreUpload(const PObject& req, const std::string& data, PObject& reply) {
    const std::string action = req["action"].asString().str();
    const std::string path = req["path"].asString().str();
    if (!req["view_id"].isInteger() || !Storage::IsValidPath(path)) {
        Log("%s: bad view or path", action.c_str());
        Error(reply, REF_ERR_VIEW_PATH, "invalid path");
        return;
    }
    const uint64_t view = req["view_id"].asUInt64();
    const uint64_t base = req["sync_id"].asUInt64();
    const bool is_dir = req["is_dir"].asBool();
    const bool dry_run = req["dry_run"].asBool();
    const PObject& file = req["file"];
    if (!ViewReady(view)) {
        Error(reply, REF_ERR_INTERNAL, "storage failure");
        return;
    }
    ChangeRow cur;
    int found = m_storage.Current(view, path, &cur);
    if (found < 0) {
        Error(reply, REF_ERR_INTERNAL, "storage failure");
        return;
    }
    const bool exists = found == 1 && !cur.is_removed;
    if (base != 0 && (found != 1 || cur.sync_id != base)) {
        Log("%s: %s: base %llu is not current", action.c_str(), path.c_str(), (unsigned long long)base);
        Error(reply, REF_ERR_BASE_CHANGED, "base changed");
        return;
    }
    const std::string hash = file["hash"].asString().str();
    if (!is_dir && !Storage::IsHex(hash, 32)) {
        Log("%s: %s: no valid file.hash", action.c_str(), path.c_str());
        Error(reply, REF_ERR_INTERNAL, "file.hash missing");
        return;
    }
    if (base == 0 && exists) {
        const bool same = cur.is_dir == is_dir && (is_dir || cur.hash == hash);
        if (!same) {
            Log("%s: %s: name conflict", action.c_str(), path.c_str());
            Error(reply, REF_ERR_CONFLICT, "name conflict");
            return;
        }
    }
    if (dry_run) {
        reply["file"]["file_id"] = (!is_dir && m_storage.HasBlob(hash)) ? FileIdOf(hash) : (uint64_t)0;
        Log("%s: %s: dry run%s", action.c_str(), path.c_str(),
            reply["file"]["file_id"].asUInt64() ? ", content known" : "");
        return;
    }
    uint64_t size = 0;
    uint64_t received = 0;
    bool referred = false;
    if (!is_dir) {
        size = file["size"].asUInt64();
        if (file["refer"].asBool()) {
            referred = true;
            if (!m_storage.HasBlob(hash)) {
                Log("%s: %s: referred content is gone", action.c_str(), path.c_str());
                Error(reply, REF_ERR_NOBASE, "no such content");
                return;
            }
        } else if (data.empty()) {
            Error(reply, REF_ERR_INTERNAL, "file.data missing");
            return;
        } else {
            std::string made = data;
            std::string tmp;
            received = FileSize(data);
            if (file["is_delta"].asBool()) {
                if (!exists || cur.is_dir || !m_storage.HasBlob(cur.hash)) {
                    Log("%s: %s: delta without its base content", action.c_str(), path.c_str());
                    Error(reply, REF_ERR_NOBASE, "base content is gone");
                    return;
                }
                tmp = m_storage.TempPath();
                DeltaFileReader patcher;
                patcher.setFile(data, m_storage.BlobPath(cur.hash));
                patcher.setNewFile(tmp);
                if (patcher.readFile() != DeltaResult::kDone) {
                    unlink(tmp.c_str());
                    Log("%s: %s: delta cannot be applied", action.c_str(), path.c_str());
                    Error(reply, REF_ERR_CONTENT, "bad delta");
                    return;
                }
                made = tmp;
            }
            // A whole body is checked and then becomes the blob as it was received:
            // no copy. The caller drops the file of the body in any case.
            if (!ContentMatches(made, hash, size)) {
                unlink(made.c_str());
                Log("%s: %s: content does not match file.hash, nothing stored", action.c_str(), path.c_str());
                Error(reply, REF_ERR_CONTENT, "content does not match its hash");
                return;
            }
            if (m_storage.AdoptBlob(made, hash) != 0) {
                unlink(made.c_str());
                Error(reply, REF_ERR_INTERNAL, "storage failure");
                return;
            }
        }
    }
    uint64_t sync_id = 0;
    if (base == 0 && exists) {
        sync_id = cur.sync_id;  // the same item is already there
        Log("%s: %s: already stored as %llu", action.c_str(), path.c_str(), (unsigned long long)sync_id);
    } else {
        // The checks above ran before the data arrived; another connection may have
        // stored this path since. Check again and store in one step, or two uploads on
        // the same base would both be accepted and the first one silently replaced.
        MutexLock store_guard(g_store_lock);
        ChangeRow now;
        const int now_found = m_storage.Current(view, path, &now);
        if (now_found != found || (found == 1 && now.sync_id != cur.sync_id)) {
            if (base == 0) {
                Log("%s: %s: name conflict", action.c_str(), path.c_str());
                Error(reply, REF_ERR_CONFLICT, "name conflict");
            } else {
                Log("%s: %s: base %llu is not current", action.c_str(), path.c_str(), (unsigned long long)base);
                Error(reply, REF_ERR_BASE_CHANGED, "base changed");
            }
            return;
        }
        ChangeRow row;
        row.view_id = view;
        row.path = path;
        row.is_dir = is_dir;
        row.hash = is_dir ? std::string() : hash;
        row.size = size;
        const PObject& mtime = req["mtime"];
        if (mtime["refer"].asBool() && exists)
            row.mtime = cur.mtime;
        else if (mtime.hasMember("mtime"))
            row.mtime = mtime["mtime"].asUInt64();
        else
            row.mtime = req["common_attribute"]["mtime"].asUInt64();
        row.mac_hash = exists ? cur.mac_hash : std::string();
        const PObject& exec = req["exec_bit"];
        row.exec_bit =
            exec.hasMember("exec_bit") && !exec["refer"].asBool() ? exec["exec_bit"].asBool() : exists && cur.exec_bit;
        std::string made, blocker;
        const int parents = MakeParents(m_storage, view, path, row.mtime, &made, &blocker);
        if (parents == 1) {
            Log("%s: %s: name conflict with the file %s", action.c_str(), path.c_str(), blocker.c_str());
            Error(reply, REF_ERR_CONFLICT, "name conflict");
            return;
        }
        if (!made.empty()) Log("%s: %s: made the missing folders %s", action.c_str(), path.c_str(), made.c_str());
        if (parents < 0 || m_storage.AddChange(row, &sync_id) != 0) {
            Error(reply, REF_ERR_INTERNAL, "storage failure");
            return;
        }
        Log("%s: %s: stored as %llu (%s, %llu bytes received)", action.c_str(), path.c_str(),
            (unsigned long long)sync_id,
            is_dir                      ? "dir"
            : referred                  ? "referred"
            : file["is_delta"].asBool() ? "delta"
                                        : "whole",
            (unsigned long long)received);
    }
    reply["sync_id"] = sync_id;
    reply["max_id"] = is_dir ? m_storage.MaxSyncIdBelow(view, path) : sync_id;
    if (reply["max_id"].asUInt64() < sync_id) reply["max_id"] = sync_id;
    reply["is_dir"] = (uint64_t)(is_dir ? 1 : 0);
    if (!is_dir) {
        reply["file"]["refer"] = (uint64_t)(referred ? 1 : 0);
        reply["file"]["file_id"] = FileIdOf(hash);
    }
}

RefConnection::After RefConnection::HandleUpload(const PObject& req, PObject& reply) {
    const PObject& data = req["file"]["data"];
    StoreUpload(req, data.isBinary() ? data.asBinary().path.str() : std::string(), reply);
    return AFTER_NOTHING;
}

RefConnection::After RefConnection::HandleResumeGetToken(const PObject&, PObject& reply) {
    m_storage.SweepResume(m_opts.resume_ttl);  // abandoned transfers do not pile up
    const std::string token = m_storage.NewResumeToken();
    const std::string path = m_storage.ResumePath(token);
    FILE* f = path.empty() ? nullptr : fopen(path.c_str(), "wb");
    if (!f) {
        Error(reply, REF_ERR_INTERNAL, "storage failure");
        return AFTER_NOTHING;
    }
    fclose(f);
    reply["resume_token"] = ustring(token);
    Log("resume_get_token: %s", token.c_str());
    return AFTER_NOTHING;
}

RefConnection::After RefConnection::HandleResumeGetStatus(const PObject& req, PObject& reply) {
    const std::string token = req["resume_token"].asString().str();
    const std::string path = m_storage.ResumePath(token);
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0) {
        Log("resume_get_status: unknown token");
        Error(reply, REF_ERR_RESUME, "unknown resume token");
        return AFTER_NOTHING;
    }
    reply["file"]["offset"] = (uint64_t)st.st_size;
    Log("resume_get_status: offset %llu", (unsigned long long)st.st_size);
    return AFTER_NOTHING;
}

RefConnection::After RefConnection::HandleResumeUpload(const PObject& req, PObject& reply) {
    const std::string token = req["resume_token"].asString().str();
    const std::string held = m_storage.ResumePath(token);
    struct stat st;
    if (held.empty() || stat(held.c_str(), &st) != 0) {
        Log("resume_upload: unknown token");
        Error(reply, REF_ERR_RESUME, "unknown resume token");
        return AFTER_NOTHING;
    }
    const PObject& data = req["file"]["data"];
    std::string body;
    if (data.isBinary() && !req["file"]["refer"].asBool()) {
        const std::string received = data.asBinary().path.str();
        const uint64_t count = FileSize(received);
        uint64_t keep = count;
        const bool cut = CutBinary(count, &keep);
        if (AppendFile(received, held, keep) < 0) {
            Error(reply, REF_ERR_INTERNAL, "storage failure");
            return AFTER_NOTHING;
        }
        if (cut) {
            Log("resume_upload: cut after %llu of %llu bytes (fault)", (unsigned long long)keep,
                (unsigned long long)count);
            return AFTER_CUT;
        }
        body = held;
    }
    StoreUpload(req, body, reply);
    if (!reply.hasMember("error") || reply["error"]["code"].asUInt32() != REF_ERR_RESUME) unlink(held.c_str());
    return AFTER_NOTHING;
}
