#include "store/event.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

void Event::swap(Event& o) noexcept {
    std::swap(m_type, o.m_type);
    std::swap(m_mode, o.m_mode);
    std::swap(m_sync_id, o.m_sync_id);
    std::swap(m_max_id, o.m_max_id);
    std::swap(m_data_size, o.m_data_size);
    std::swap(m_time, o.m_time);
    m_data_hash.swap(o.m_data_hash);
    m_path.swap(o.m_path);
    m_opt.swap(o.m_opt);
    m_mac_attr_hash.swap(o.m_mac_attr_hash);
    std::swap(m_mac_attr_size, o.m_mac_attr_size);
    std::swap(m_sess_id, o.m_sess_id);
    std::swap(m_exec_bit, o.m_exec_bit);
}

void Event::clear() {
    m_type = EV_EMPTY;
    m_mode = 0;
    m_sync_id = 0;
    m_max_id = 0;
    m_data_size = 0;
    m_time = 0;
    m_data_hash.clear();
    m_path.clear();
    m_opt.clear();
    m_mac_attr_hash.clear();
    m_mac_attr_size = 0;
    m_sess_id = 0;
    m_exec_bit = 0;
}

static const char* typeName(Event::Type t) {
    switch (t) {
        case Event::EV_EMPTY:
            return "EV_EMPTY";
        case Event::EV_CREATE:
            return "EV_ADD";
        case Event::EV_REMOVE:
            return "EV_REMOVE";
        case Event::EV_MODIFY:
            return "EV_MODIFY";
        case Event::EV_RENAME:
            return "EV_RENAME";
    }
    return "EV_UNKNOWN";
}

static ustring decimal(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "%" PRIu64, v);
    return ustring(buf);
}

ustring Event::toString() const {
    ustring s("Event<");
    s += typeName(m_type);
    s += ">: ";
    if (m_type == EV_RENAME) {
        s += "from '";
        s += m_path;
        s += "', to '";
        s += m_opt;
        s += "'";
    } else {
        s += "[";
        s += decimal(m_sync_id);
        s += "] ";
        s += m_path;
        s += isServerEvent() ? " (server," : " (local,";
        s += isDir() ? "dir" : "file";
        if (isExpand()) s += ",expand";
        s += ")";
    }
    if (!isDir()) {
        s += " size = ";
        s += decimal(m_data_size);
        s += ", hash = ";
        s += m_data_hash;
    }
    return s;
}

void ClientFileEventInfo::Clear() {
    fileType = 0;
    isExist = 0;
    fileModTime = 0;
    execBit = 0;
    syncID = 0;
    maxSyncID = 0;
    pDirID = 0;
    fileSize = 0;
    fileCheckSum.clear();
    baseName.clear();
    path.clear();
    filePrivilege.clear();
    updateClient.clear();
    signaturePath.clear();
    macHash.clear();
    windowsHash.clear();
    linuxHash.clear();
    varnelHash.clear();
    stamp = LocalStamp();
}
