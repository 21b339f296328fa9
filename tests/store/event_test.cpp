#include "store/event.h"

#include <gtest/gtest.h>

TEST(EventTest, ClearedEventIsEmptyAndPrintsAsEmpty) {
    Event e;
    e.m_type = Event::EV_MODIFY;
    e.m_mode = Event::F_DIR | Event::F_SERVER;
    e.m_sync_id = 5;
    e.m_path = "/x";
    e.m_data_hash = "abc";
    e.m_exec_bit = 1;
    e.clear();
    EXPECT_FALSE(e.isValid());
    EXPECT_EQ(e.m_mode, 0u);
    EXPECT_EQ(e.m_sync_id, 0u);
    EXPECT_TRUE(e.m_path.empty());
    EXPECT_EQ(e.m_exec_bit, 0u);
    EXPECT_EQ(e.toString(), "Event<EV_EMPTY>: [0]  (local,file) size = 0, hash = ");
    EXPECT_EQ(Event().toString(), e.toString());
}

TEST(EventTest, ToStringForms) {
    Event dir;
    dir.m_type = Event::EV_CREATE;
    dir.m_path = "/a";
    dir.setDir();
    EXPECT_EQ(dir.toString(), "Event<EV_ADD>: [0] /a (local,dir)");

    dir.setServerEvent();
    dir.setExpand();
    dir.m_sync_id = 18446744073709551615ull;
    EXPECT_EQ(dir.toString(), "Event<EV_ADD>: [18446744073709551615] /a (server,dir,expand)");

    Event file;
    file.m_type = Event::EV_MODIFY;
    file.m_path = "/d/f.txt";
    file.m_sync_id = 42;
    file.m_data_size = 1234;
    file.m_data_hash = "beef";
    file.setServerEvent();
    EXPECT_EQ(file.toString(), "Event<EV_MODIFY>: [42] /d/f.txt (server,file) size = 1234, hash = beef");

    Event ren;
    ren.m_type = Event::EV_RENAME;
    ren.m_path = "/old";
    ren.m_opt = "/new";
    ren.m_data_size = 7;
    ren.m_data_hash = "h";
    EXPECT_EQ(ren.toString(), "Event<EV_RENAME>: from '/old', to '/new' size = 7, hash = h");
    ren.setDir();
    EXPECT_EQ(ren.toString(), "Event<EV_RENAME>: from '/old', to '/new'");

    Event rm;
    rm.m_type = Event::EV_REMOVE;
    rm.m_path = "/r";
    rm.setDir();
    EXPECT_EQ(rm.toString(), "Event<EV_REMOVE>: [0] /r (local,dir)");
}

TEST(EventTest, FlagAccessorsTouchOnlyTheirBit) {
    Event e;
    EXPECT_TRUE(e.isFile());
    EXPECT_TRUE(e.isLocalEvent());
    EXPECT_FALSE(e.isSubDirRescan());
    e.setRescan();
    EXPECT_EQ(e.m_mode, static_cast<uint32_t>(Event::F_RESCAN));
    e.setMerge();
    e.setConflict();
    EXPECT_TRUE(e.isRescan() && e.isMerge() && e.isConflict());
    EXPECT_FALSE(e.isExpand() || e.isDir() || e.isServerEvent());
    EXPECT_FALSE(e.isSubDirRescan());

    const uint32_t bits[] = {Event::F_LOCAL_SUBDIR_RESCAN, Event::F_SERVER_SUBDIR_RESCAN,
                             Event::F_LOCAL_SUBDIR_RESCAN_STAT, Event::F_SERVER_SUBDIR_RESCAN_STAT};
    for (uint32_t b : bits) {
        Event s;
        s.m_mode = b;
        EXPECT_TRUE(s.isSubDirRescan()) << b;
    }
    Event s;
    s.setLocalSubDirRescan();
    EXPECT_TRUE(s.isLocalSubDirRescan());
    s.setServerSubDirRescanWithStat();
    EXPECT_TRUE(s.isServerSubDirRescanWithStat());
    EXPECT_FALSE(s.isServerSubDirRescan());
    EXPECT_FALSE(s.isLocalSubDirRescanWithStat());
    s.setDir();
    EXPECT_TRUE(s.isDir());
    s.setFile();
    EXPECT_TRUE(s.isFile());
    EXPECT_TRUE(s.isLocalSubDirRescan());  // clearing F_DIR leaves the other bits
}

TEST(EventTest, CopyAndSwapCarryEveryMember) {
    Event a;
    a.m_type = Event::EV_RENAME;
    a.m_mode = 0x7ff;
    a.m_sync_id = 1;
    a.m_max_id = 2;
    a.m_data_size = 3;
    a.m_time = 4;
    a.m_data_hash = "h";
    a.m_path = "/p";
    a.m_opt = "/o";
    a.m_mac_attr_hash = "m";
    a.m_mac_attr_size = 5;
    a.m_sess_id = 6;
    a.m_exec_bit = 1;
    Event b = a;
    Event c;
    c.swap(b);
    EXPECT_FALSE(b.isValid());
    EXPECT_EQ(c.m_mode, 0x7ffu);
    EXPECT_EQ(c.m_max_id, 2u);
    EXPECT_EQ(c.m_time, 4u);
    EXPECT_EQ(c.m_opt, "/o");
    EXPECT_EQ(c.m_mac_attr_hash, "m");
    EXPECT_EQ(c.m_mac_attr_size, 5u);
    EXPECT_EQ(c.m_sess_id, 6u);
    EXPECT_EQ(c.m_exec_bit, 1u);
    EXPECT_EQ(c.toString(), a.toString());
}

TEST(ClientFileEventInfoTest, ClearEmptiesEverything) {
    ClientFileEventInfo i;
    i.fileType = 1;
    i.isExist = 1;
    i.syncID = 9;
    i.path = "/x";
    i.signaturePath = "/tmp/s";
    i.varnelHash = "v";
    ClientFileEventInfo copy = i;
    EXPECT_EQ(copy.varnelHash, "v");
    i.Clear();
    EXPECT_EQ(i.fileType, 0);
    EXPECT_EQ(i.syncID, 0u);
    EXPECT_TRUE(i.path.empty() && i.signaturePath.empty() && i.varnelHash.empty());
}
