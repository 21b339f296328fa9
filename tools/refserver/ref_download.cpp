// Downloads: "resume_download" (command 27), after "resume_get_token". The reply
// names the current version of the path and carries its content as a reference to
// the client's base, as a delta against the base's content, or whole. The data sent
// for one token is made once and kept under ROOT/resume, so that a request with
// file.offset continues exactly the bytes an earlier, broken reply began.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "delta/simple_file_reader.h"
#include "ref_connection.h"

namespace {

uint64_t SizeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

bool CopyPrefix(const std::string& from, uint64_t offset, uint64_t count, const std::string& to) {
    FILE* in = fopen(from.c_str(), "rb");
    if (!in) return false;
    FILE* out = fopen(to.c_str(), "wb");
    bool ok = out != nullptr && fseek(in, (long)offset, SEEK_SET) == 0;
    char buf[65536];
    while (ok && count > 0) {
        const size_t n = fread(buf, 1, count < sizeof buf ? (size_t)count : sizeof buf, in);
        if (n == 0 || fwrite(buf, 1, n, out) != n) ok = false;
        count -= n;
    }
    fclose(in);
    if (out && fclose(out) != 0) ok = false;
    return ok;
}

// Changes one byte in the middle of the file (the corrupt-delta fault).
bool FlipMiddleByte(const std::string& path) {
    const uint64_t size = SizeOf(path);
    if (size == 0) return false;
    FILE* f = fopen(path.c_str(), "r+b");
    if (!f) return false;
    bool ok = fseek(f, (long)(size / 2), SEEK_SET) == 0;
    int c = ok ? fgetc(f) : EOF;
    ok = c != EOF && fseek(f, (long)(size / 2), SEEK_SET) == 0 && fputc(c ^ 0x5A, f) != EOF;
    return fclose(f) == 0 && ok;
}

}  // namespace

RefConnection::After RefConnection::HandleResumeDownload(const PObject& req, PObject& reply) {
    const std::string token = req["resume_token"].asString().str();
    const std::string held = m_storage.ResumePath(token);
    struct stat st;
    if (held.empty() || stat(held.c_str(), &st) != 0) {
        Log("resume_download: unknown token");
        Error(reply, REF_ERR_RESUME, "unknown resume token");
        return AFTER_NOTHING;
    }
    // Whatever this reply says, it ends the token's use once it is sent, unless a cut
    // (below) leaves data for the client to resume.
    m_finished_token = token;
    uint64_t view = 0;
    std::string path;
    ChangeRow cur;
    if (!FindLiveItem("resume_download", req, REF_ERR_NOFILE, "no such file", reply, view, path, cur))
        return AFTER_NOTHING;
    reply["sync_id"] = cur.sync_id;
    reply["max_id"] = cur.is_dir ? m_storage.MaxSyncIdBelow(view, path) : cur.sync_id;
    if (reply["max_id"].asUInt64() < cur.sync_id) reply["max_id"] = cur.sync_id;
    reply["is_dir"] = (uint64_t)(cur.is_dir ? 1 : 0);
    reply["mtime"]["mtime"] = cur.mtime;
    reply["mac_attribute"]["hash"] = ustring(cur.mac_hash);
    reply["exec_bit"]["exec_bit"] = (uint64_t)(cur.exec_bit ? 1 : 0);
    if (cur.is_dir) {
        Log("resume_download: %s: directory %llu", path.c_str(), (unsigned long long)cur.sync_id);
        return AFTER_NOTHING;
    }
    if (!m_storage.HasBlob(cur.hash)) {
        Log("resume_download: %s: content of %llu is gone", path.c_str(), (unsigned long long)cur.sync_id);
        Error(reply, REF_ERR_INTERNAL, "content is gone");
        return AFTER_NOTHING;
    }
    PObject& file = reply["file"];
    file["size"] = cur.size;
    file["hash"] = ustring(cur.hash);
    const uint64_t base_id = req["sync_id"].asUInt64();
    ChangeRow base;
    const bool has_base =
        base_id != 0 && m_storage.AtSyncId(view, path, base_id, &base) == 1 && !base.is_dir && !base.is_removed;
    if (has_base && base.hash == cur.hash) {
        file["refer"] = (uint64_t)1;
        file["is_delta"] = (uint64_t)0;
        Log("resume_download: %s: %llu referred to the base", path.c_str(), (unsigned long long)cur.sync_id);
        return AFTER_NOTHING;
    }
    file["refer"] = (uint64_t)0;

    // The data of this token: made on its first request, kept for the ones that resume.
    const std::string data = held + ".data";
    const std::string delta_mark = held + ".delta";
    if (stat(data.c_str(), &st) != 0) {
        bool delta = false;
        if (has_base && m_storage.HasBlob(base.hash)) {
            const std::string sig = m_storage.TempPath();
            SimpleFileReader signer;
            signer.setFile(m_storage.BlobPath(base.hash));
            signer.setSignature(sig);
            SimpleFileReader differ;
            differ.setFile(m_storage.BlobPath(cur.hash));
            differ.setDelta(data, sig);
            delta = signer.readFile() == DeltaResult::kDone && differ.readFile() == DeltaResult::kDone &&
                    SizeOf(data) < cur.size;
            unlink(sig.c_str());
            if (delta && m_opts.corrupt_delta && !FlipMiddleByte(data)) delta = false;
            if (!delta) unlink(data.c_str());
        }
        if (delta) {
            FILE* mark = fopen(delta_mark.c_str(), "wb");
            if (mark) fclose(mark);
        } else if (!CopyPrefix(m_storage.BlobPath(cur.hash), 0, cur.size, data)) {
            unlink(data.c_str());
            Error(reply, REF_ERR_INTERNAL, "storage failure");
            return AFTER_NOTHING;
        }
    }
    const bool is_delta = stat(delta_mark.c_str(), &st) == 0;
    const uint64_t total = SizeOf(data);
    const uint64_t offset = req["file"]["offset"].asUInt64();
    if (offset > total) {
        Log("resume_download: %s: offset %llu past %llu bytes", path.c_str(), (unsigned long long)offset,
            (unsigned long long)total);
        Error(reply, REF_ERR_INTERNAL, "offset past the data");
        return AFTER_NOTHING;
    }
    file["is_delta"] = (uint64_t)(is_delta ? 1 : 0);
    const uint64_t rest = total - offset;
    uint64_t keep = rest;
    if (CutBinary(rest, &keep)) {
        // Promise the whole rest but hold only keep bytes of it: the reply breaks there.
        m_cut_file = m_storage.TempPath();
        if (!CopyPrefix(data, offset, keep, m_cut_file)) {
            unlink(m_cut_file.c_str());
            m_cut_file.clear();
            Error(reply, REF_ERR_INTERNAL, "storage failure");
            return AFTER_NOTHING;
        }
        file["data"] = PObject::binary_type(m_cut_file, 0, rest);
        m_finished_token.clear();
        Log("resume_download: %s: cut after %llu of %llu bytes from %llu (fault)", path.c_str(),
            (unsigned long long)keep, (unsigned long long)rest, (unsigned long long)offset);
        return AFTER_NOTHING;
    }
    file["data"] = PObject::binary_type(data, offset, rest);
    Log("resume_download: %s: %llu sent (%s, %llu bytes from %llu)", path.c_str(), (unsigned long long)cur.sync_id,
        is_delta ? "delta" : "whole", (unsigned long long)rest, (unsigned long long)offset);
    return AFTER_NOTHING;
}
