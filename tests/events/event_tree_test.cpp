#include "events/event_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "events_test_util.h"

using events_test::Ev;
using Attr = EventList2::Attribute;

namespace {

constexpr uint32_t D = Event::F_DIR;
constexpr uint32_t S = Event::F_SERVER;

EventList2::Status StatusOf(EventList2& t, const char* path, bool dir) {
    EventList2::NodeInfo info;
    EXPECT_TRUE(t.GetNodeInfo(path, dir, info)) << path;
    return info.status;
}

bool Exists(EventList2& t, const char* path, bool dir) {
    EventList2::NodeInfo info;
    return t.GetNodeInfo(path, dir, info);
}

Attr A(Event::Type type, uint32_t mode, uint64_t sync = 0) { return Attr(Ev(type, "/p", mode, sync)); }

std::string PopPath(EventList2& t) {
    Event e;
    if (!t.Pop(e)) return "-";
    return e.m_path.str();
}

}  // namespace

// ---- merge table, one row at a time -------------------------------------------------

TEST(EventTreeMerge, EmptySidesGiveTheOther) {
    Attr empty;
    Attr n = A(Event::EV_MODIFY, 0);
    EXPECT_EQ(Event::EV_MODIFY, EventList2::HandleConflict(empty, n, false).type);
    EXPECT_EQ(Event::EV_MODIFY, EventList2::HandleConflict(n, empty, false).type);
    EXPECT_EQ(Event::EV_MODIFY, EventList2::HandleConflict(empty, A(Event::EV_MODIFY, D), true).type);
}

TEST(EventTreeMerge, FileLocalLocalTakesNew) {
    Attr r = EventList2::HandleConflict(A(Event::EV_CREATE, 0), A(Event::EV_REMOVE, 0), false);
    EXPECT_EQ(Event::EV_REMOVE, r.type);
    EXPECT_FALSE(r.IsServer());
}

TEST(EventTreeMerge, FileLocalThenServerGoesThroughTypeConflict) {
    // local removal loses to the server's change
    Attr r = EventList2::HandleConflict(A(Event::EV_REMOVE, 0), A(Event::EV_MODIFY, S, 9), false);
    EXPECT_EQ(Event::EV_MODIFY, r.type);
    EXPECT_TRUE(r.IsServer());
    EXPECT_FALSE(r.mode & Event::F_CONFLICT);
    // both change: the server's event, marked as a conflict
    r = EventList2::HandleConflict(A(Event::EV_MODIFY, 0), A(Event::EV_MODIFY, S, 9), false);
    EXPECT_TRUE(r.IsServer());
    EXPECT_TRUE(r.mode & Event::F_CONFLICT);
    EXPECT_EQ(9u, r.syncID);
    // server removal loses to the local change
    r = EventList2::HandleConflict(A(Event::EV_MODIFY, 0), A(Event::EV_REMOVE, S, 9), false);
    EXPECT_EQ(Event::EV_MODIFY, r.type);
    EXPECT_FALSE(r.IsServer());
}

TEST(EventTreeMerge, FileServerThenLocalGoesThroughTypeConflict) {
    Attr r = EventList2::HandleConflict(A(Event::EV_MODIFY, S, 9), A(Event::EV_REMOVE, 0), false);
    EXPECT_TRUE(r.IsServer());
    EXPECT_EQ(Event::EV_MODIFY, r.type);
    r = EventList2::HandleConflict(A(Event::EV_CREATE, S, 9), A(Event::EV_MODIFY, 0), false);
    EXPECT_TRUE(r.IsServer());
    EXPECT_TRUE(r.mode & Event::F_CONFLICT);
    r = EventList2::HandleConflict(A(Event::EV_REMOVE, S, 9), A(Event::EV_MODIFY, 0), false);
    EXPECT_FALSE(r.IsServer());
    EXPECT_EQ(Event::EV_MODIFY, r.type);
}

TEST(EventTreeMerge, FileServerServerKeepsNewerSyncId) {
    EXPECT_EQ(7u, EventList2::HandleConflict(A(Event::EV_MODIFY, S, 5), A(Event::EV_MODIFY, S, 7), false).syncID);
    EXPECT_EQ(5u, EventList2::HandleConflict(A(Event::EV_MODIFY, S, 5), A(Event::EV_MODIFY, S, 3), false).syncID);
    EXPECT_EQ(5u, EventList2::HandleConflict(A(Event::EV_MODIFY, S, 5), A(Event::EV_MODIFY, S, 5), false).syncID);
    // a forced download is always superseded by a real server event
    EXPECT_EQ(
        3u, EventList2::HandleConflict(A(Event::EV_MODIFY, S, 0x7FFFFFFFFFFFFFFFull), A(Event::EV_MODIFY, S, 3), false)
                .syncID);
}

TEST(EventTreeMerge, DirectoryWithALocalSideTakesNew) {
    Attr r = EventList2::HandleConflict(A(Event::EV_CREATE, D | S, 9), A(Event::EV_MODIFY, D), true);
    EXPECT_FALSE(r.IsServer());
    EXPECT_FALSE(r.mode & Event::F_CONFLICT);
    r = EventList2::HandleConflict(A(Event::EV_MODIFY, D), A(Event::EV_CREATE, D | S, 9), true);
    EXPECT_TRUE(r.IsServer());
    r = EventList2::HandleConflict(A(Event::EV_CREATE, D), A(Event::EV_MODIFY, D), true);
    EXPECT_EQ(Event::EV_MODIFY, r.type);
}

TEST(EventTreeMerge, DirectoryServerServerKeepsNewerSyncId) {
    EXPECT_EQ(8u,
              EventList2::HandleConflict(A(Event::EV_CREATE, D | S, 4), A(Event::EV_MODIFY, D | S, 8), true).syncID);
    EXPECT_EQ(4u,
              EventList2::HandleConflict(A(Event::EV_CREATE, D | S, 4), A(Event::EV_MODIFY, D | S, 2), true).syncID);
}

TEST(EventTreeMerge, DirectoryRemovalUndoneAsksForSubDirRescan) {
    Attr r = EventList2::HandleConflict(A(Event::EV_REMOVE, D), A(Event::EV_CREATE, D), true);
    EXPECT_EQ(Event::EV_CREATE, r.type);
    EXPECT_TRUE(r.mode & Event::F_LOCAL_SUBDIR_RESCAN);
    EXPECT_FALSE(r.mode & Event::F_SERVER_SUBDIR_RESCAN);

    r = EventList2::HandleConflict(A(Event::EV_REMOVE, D | S, 3), A(Event::EV_CREATE, D | S, 4), true);
    EXPECT_TRUE(r.mode & Event::F_SERVER_SUBDIR_RESCAN);
    EXPECT_FALSE(r.mode & Event::F_LOCAL_SUBDIR_RESCAN);

    // the removal survives: no mark
    r = EventList2::HandleConflict(A(Event::EV_REMOVE, D | S, 5), A(Event::EV_CREATE, D | S, 4), true);
    EXPECT_EQ(Event::EV_REMOVE, r.type);
    EXPECT_FALSE(r.IsSubDirRescan());
    // a file merge never marks
    r = EventList2::HandleConflict(A(Event::EV_REMOVE, 0), A(Event::EV_CREATE, 0), false);
    EXPECT_FALSE(r.IsSubDirRescan());
}

// ---- push, counters and merges through the tree ----------------------------------------

TEST(EventTree, FileInNewDirectoryRoundTrip) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/a/b.txt")));
    EXPECT_EQ(EventList2::DONE, StatusOf(t, "/a", true));
    EXPECT_EQ(1, t.GetLocalEventCount());
    Event e;
    ASSERT_TRUE(t.Pop(e));
    EXPECT_EQ("/a/b.txt", e.m_path.str());
    EXPECT_EQ(Event::EV_MODIFY, e.m_type);
    EventList2::NodeInfo info;
    ASSERT_TRUE(t.GetNodeInfo("/a", true, info));
    EXPECT_EQ(1, info.refLocalCount);
    EXPECT_TRUE(t.DoneEvent(e));
    EXPECT_TRUE(t.IsEmpty());
    EXPECT_EQ(0, t.GetLocalEventCount());
}

TEST(EventTree, EventFieldsSurviveTheTree) {
    EventList2 t;
    Event in = Ev(Event::EV_MODIFY, "/x", S, 42);
    in.m_max_id = 43;
    in.m_data_size = 1234;
    in.m_time = 99;
    in.m_data_hash = "abc";
    in.m_opt = "/y";
    in.m_mac_attr_hash = "mac";
    in.m_mac_attr_size = 5;
    in.m_sess_id = 77;
    in.m_exec_bit = 1;
    ASSERT_TRUE(t.Push(in));
    Event out;
    ASSERT_TRUE(t.Pop(out));
    EXPECT_EQ(in.toString().str(), out.toString().str());
    EXPECT_EQ(43u, out.m_max_id);
    EXPECT_EQ(99u, out.m_time);
    EXPECT_EQ("/y", out.m_opt.str());
    EXPECT_EQ("mac", out.m_mac_attr_hash.str());
    EXPECT_EQ(5u, out.m_mac_attr_size);
    EXPECT_EQ(77u, out.m_sess_id);
    EXPECT_EQ(1u, out.m_exec_bit);
}

TEST(EventTree, RepeatedLocalChangesCollapse) {
    EventList2 t;
    Event old;
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/f"), old));
    EXPECT_FALSE(old.isValid());
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/f"), old));
    EXPECT_EQ(Event::EV_CREATE, old.m_type);
    EXPECT_EQ(1, t.GetLocalEventCount());
    EXPECT_EQ(EventList2::WAITING, StatusOf(t, "/f", false));
    Event e;
    ASSERT_TRUE(t.Pop(e));
    EXPECT_EQ(Event::EV_MODIFY, e.m_type);
    EXPECT_FALSE(t.Pop(e));
}

TEST(EventTree, ChangeWhileProcessingBecomesRetry) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/f")));
    Event first;
    ASSERT_TRUE(t.Pop(first));
    ASSERT_TRUE(t.Push(Ev(Event::EV_REMOVE, "/d/f")));
    EXPECT_EQ(EventList2::RETRY, StatusOf(t, "/d/f", false));
    EventList2::NodeInfo info;
    ASSERT_TRUE(t.GetNodeInfo("/d", true, info));
    EXPECT_EQ(0, info.refLocalCount);  // the merge took the hand-out's reference back
    EXPECT_EQ(1, t.GetLocalEventCount());

    Event e;
    EXPECT_FALSE(t.Pop(e));
    EXPECT_FALSE(t.DoneEvent(first));  // NOT PROCESSING
    ASSERT_TRUE(t.Pop("/d/f", e));
    EXPECT_EQ(Event::EV_REMOVE, e.m_type);
    ASSERT_TRUE(t.GetNodeInfo("/d", true, info));
    EXPECT_EQ(1, info.refLocalCount);
    EXPECT_TRUE(t.DoneEvent(e));
    EXPECT_TRUE(t.IsEmpty());
}

TEST(EventTree, ServerAndLocalMergeInTheTree) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/f", S, 9)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/f")));
    Event e;
    ASSERT_TRUE(t.Pop(e));
    EXPECT_TRUE(e.isServerEvent());
    EXPECT_TRUE(e.isConflict());
    EXPECT_EQ(9u, e.m_sync_id);
    EXPECT_EQ(1, t.GetServerEventCount());
    EXPECT_EQ(0, t.GetLocalEventCount());

    EventList2 t2;
    ASSERT_TRUE(t2.Push(Ev(Event::EV_REMOVE, "/f", S, 9)));
    ASSERT_TRUE(t2.Push(Ev(Event::EV_MODIFY, "/f")));
    ASSERT_TRUE(t2.Pop(e));
    EXPECT_TRUE(e.isLocalEvent());
    EXPECT_EQ(Event::EV_MODIFY, e.m_type);
    EXPECT_EQ(0, t2.GetServerEventCount());
    EXPECT_EQ(1, t2.GetLocalEventCount());
}

TEST(EventTree, OlderServerEventDoesNotReplaceNewer) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/f", S, 5)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/f", S, 3)));
    Event e;
    ASSERT_TRUE(t.Pop(e));
    EXPECT_EQ(5u, e.m_sync_id);
}

TEST(EventTree, FileAndDirectoryOfOneNameAreSeparateNodes) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/n")));
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/n", D)));
    EXPECT_EQ(2, t.GetLocalEventCount());
    EXPECT_TRUE(Exists(t, "/n", false));
    EXPECT_TRUE(Exists(t, "/n", true));
}

TEST(EventTree, RefusedPaths) {
    EventList2 t;
    EXPECT_FALSE(t.Push(Ev(Event::EV_MODIFY, "/a/")));
    EXPECT_FALSE(t.Push(Ev(Event::EV_MODIFY, "")));
    EXPECT_FALSE(t.Push(Ev(Event::EV_MODIFY, "/")));
    EXPECT_FALSE(t.Push(Ev(Event::EV_MODIFY, ("/" + std::string(1024, 'x')).c_str())));
    EXPECT_FALSE(t.Push(Ev(Event::EV_MODIFY, ("/" + std::string(1024, 'x') + "/f").c_str())));
    std::string deep;
    for (int i = 0; i < 3000; ++i) deep += "/d";
    EXPECT_FALSE(t.Push(Ev(Event::EV_MODIFY, (deep + "/f").c_str())));
    EXPECT_FALSE(t.Push(Ev(Event::EV_MODIFY, ("/ok/" + std::string(1024, 'x') + "/f").c_str())));
    EXPECT_TRUE(t.IsEmpty());
    EXPECT_EQ(0, t.GetLocalEventCount());
    // runs of "/" are one separator
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "//a///b")));
    EXPECT_TRUE(Exists(t, "/a/b", false));
}

// ---- pruning below a removed directory -------------------------------------------------

TEST(EventTreePrune, LocalRemovalKeepsServerEventsAndWorkInProgress) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/busy")));
    Event busy;
    ASSERT_TRUE(t.Pop(busy));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/local")));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/srv", S, 4)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/sub/local2")));
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/d/sub2", D)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/sub2/srv2", S, 5)));
    EXPECT_EQ(4, t.GetLocalEventCount());
    EXPECT_EQ(2, t.GetServerEventCount());

    ASSERT_TRUE(t.Push(Ev(Event::EV_REMOVE, "/d", D)));
    EXPECT_FALSE(Exists(t, "/d/local", false));
    EXPECT_FALSE(Exists(t, "/d/sub", true));  // only local work inside: gone
    EXPECT_TRUE(Exists(t, "/d/busy", false));
    EXPECT_TRUE(Exists(t, "/d/srv", false));
    // sub2's own local event is superseded, the server event below it is not
    EXPECT_EQ(EventList2::DONE, StatusOf(t, "/d/sub2", true));
    EXPECT_TRUE(Exists(t, "/d/sub2/srv2", false));
    // busy (processing) + the removal itself
    EXPECT_EQ(2, t.GetLocalEventCount());
    EXPECT_EQ(2, t.GetServerEventCount());
    EXPECT_EQ(EventList2::WAITING, StatusOf(t, "/d", true));
}

TEST(EventTreePrune, ServerRemovalDropsOnlyOlderServerEvents) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/old", S, 5)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/new", S, 12)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/loc")));
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/d/sub", D | S, 6)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_REMOVE, "/d", D | S, 10)));
    EXPECT_FALSE(Exists(t, "/d/old", false));
    EXPECT_FALSE(Exists(t, "/d/sub", true));
    EXPECT_TRUE(Exists(t, "/d/new", false));
    EXPECT_TRUE(Exists(t, "/d/loc", false));
    EXPECT_EQ(2, t.GetServerEventCount());  // new + the removal
    EXPECT_EQ(1, t.GetLocalEventCount());
}

TEST(EventTreePrune, RetryNodesSurvive) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/f")));
    Event e;
    ASSERT_TRUE(t.Pop(e));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/f")));  // RETRY
    ASSERT_TRUE(t.Push(Ev(Event::EV_REMOVE, "/d", D)));
    EXPECT_EQ(EventList2::RETRY, StatusOf(t, "/d/f", false));
}

// ---- hand-out order ---------------------------------------------------------------------

TEST(EventTreeOrder, FilesBeforeSubDirectoriesInListOrder) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/sub", D)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/z")));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/a")));
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/sub2", D)));
    EXPECT_EQ("/z", PopPath(t));
    EXPECT_EQ("/a", PopPath(t));
    EXPECT_EQ("/sub", PopPath(t));
    EXPECT_EQ("/sub2", PopPath(t));
    EXPECT_EQ("-", PopPath(t));
}

TEST(EventTreeOrder, DirectoryBeforeItsContents) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/d", D)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/d/f")));
    Event dir;
    ASSERT_TRUE(t.Pop(dir));
    EXPECT_EQ("/d", dir.m_path.str());
    EXPECT_EQ("-", PopPath(t));  // the directory is being processed
    ASSERT_TRUE(t.DoneEvent(dir));
    EXPECT_EQ(EventList2::DONE, StatusOf(t, "/d", true));
    EXPECT_EQ("/d/f", PopPath(t));
}

TEST(EventTreeOrder, DoneDirectoryBlocksLaterSiblings) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/x/f")));
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/y", D)));
    EXPECT_EQ("/x/f", PopPath(t));
    EXPECT_EQ("-", PopPath(t));
}

TEST(EventTreeOrder, BusyDirectorySkipped) {
    EventList2 t;
    // /b: DONE with a processing file; then /b gets its own event: WAITING but busy
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/b/f")));
    EXPECT_EQ("/b/f", PopPath(t));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/b", D)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/c", D)));
    EXPECT_EQ("/c", PopPath(t));
    EXPECT_EQ("-", PopPath(t));
}

TEST(EventTreeOrder, ProcessingDirectorySkipped) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/a", D)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/b", D)));
    EXPECT_EQ("/a", PopPath(t));
    EXPECT_EQ("/b", PopPath(t));
}

TEST(EventTreeOrder, RemovalWithLeftoversMarkedForSubDirRescan) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/srv", S, 3)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_REMOVE, "/d", D)));
    Event e;
    ASSERT_TRUE(t.Pop(e));
    EXPECT_EQ("/d", e.m_path.str());
    EXPECT_TRUE(e.isLocalSubDirRescanWithStat());
    EXPECT_FALSE(e.isServerSubDirRescanWithStat());

    // only removals below: no mark
    EventList2 t2;
    ASSERT_TRUE(t2.Push(Ev(Event::EV_REMOVE, "/d/srv", S, 3)));
    ASSERT_TRUE(t2.Push(Ev(Event::EV_REMOVE, "/d", D)));
    ASSERT_TRUE(t2.Pop(e));
    EXPECT_EQ("/d", e.m_path.str());
    EXPECT_FALSE(e.isSubDirRescan());
}

TEST(EventTreeOrder, BusyRemovalMarkedWhenOtherSideIsWorkingBelow) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/srv", S, 3)));
    EXPECT_EQ("/d/srv", PopPath(t));
    ASSERT_TRUE(t.Push(Ev(Event::EV_REMOVE, "/d", D)));
    EXPECT_EQ("-", PopPath(t));
    EventList2::NodeInfo info;
    ASSERT_TRUE(t.GetNodeInfo("/d", true, info));
    EXPECT_TRUE(info.attr.mode & Event::F_LOCAL_SUBDIR_RESCAN_STAT);

    // the same side working below: no mark
    EventList2 t2;
    ASSERT_TRUE(t2.Push(Ev(Event::EV_MODIFY, "/d/loc")));
    EXPECT_EQ("/d/loc", PopPath(t2));
    ASSERT_TRUE(t2.Push(Ev(Event::EV_REMOVE, "/d", D)));
    EXPECT_EQ("-", PopPath(t2));
    ASSERT_TRUE(t2.GetNodeInfo("/d", true, info));
    EXPECT_FALSE(info.attr.IsSubDirRescan());
}

// ---- completion, redo, clearing --------------------------------------------------------

TEST(EventTreeDone, DeletesEmptyDoneAncestors) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/a/b/c/f")));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/a/g")));
    Event e;
    ASSERT_TRUE(t.Pop(e));
    EXPECT_EQ("/a/g", e.m_path.str());
    ASSERT_TRUE(t.DoneEvent(e));
    ASSERT_TRUE(t.Pop(e));
    EXPECT_EQ("/a/b/c/f", e.m_path.str());
    EventList2::NodeInfo info;
    ASSERT_TRUE(t.GetNodeInfo("/a", true, info));
    EXPECT_EQ(1, info.refLocalCount);
    ASSERT_TRUE(t.DoneEvent(e));
    EXPECT_FALSE(Exists(t, "/a", true));
    EXPECT_TRUE(t.IsEmpty());
}

TEST(EventTreeDone, StopsAtAncestorWithOwnEvent) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/a/f")));
    EXPECT_EQ("/a/f", PopPath(t));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/a", D)));  // WAITING, busy
    Event f = Ev(Event::EV_MODIFY, "/a/f");
    ASSERT_TRUE(t.DoneEvent(f));
    EXPECT_EQ(EventList2::WAITING, StatusOf(t, "/a", true));
    EXPECT_EQ("/a", PopPath(t));
}

TEST(EventTreeDone, FailureCases) {
    EventList2 t;
    EXPECT_FALSE(t.DoneEvent(Ev(Event::EV_MODIFY, "/none/f")));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/f", S, 2)));
    EXPECT_FALSE(t.DoneEvent(Ev(Event::EV_MODIFY, "/d/g", S, 2)));  // no node
    EXPECT_FALSE(t.DoneEvent(Ev(Event::EV_MODIFY, "/d/f", S, 2)));  // waiting
    EXPECT_EQ("/d/f", PopPath(t));
    EXPECT_FALSE(t.DoneEvent(Ev(Event::EV_MODIFY, "/d/f")));            // side differs
    EXPECT_FALSE(t.DoneEvent(Ev(Event::EV_MODIFY, "/d/f", D | S, 2)));  // kind differs
    EXPECT_TRUE(t.DoneEvent(Ev(Event::EV_MODIFY, "/d/f", S, 2)));
    EXPECT_EQ(0, t.GetServerEventCount());
}

TEST(EventTreeDone, DirectoryWithChildrenBecomesDone) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/d", D)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/d/f")));
    Event e;
    ASSERT_TRUE(t.Pop(e));
    ASSERT_TRUE(t.DoneEvent(e));
    EventList2::NodeInfo info;
    ASSERT_TRUE(t.GetNodeInfo("/d", true, info));
    EXPECT_EQ(EventList2::DONE, info.status);
    EXPECT_EQ(Event::EV_EMPTY, info.attr.type);
    EXPECT_EQ(0u, info.attr.mode);
    EXPECT_TRUE(info.attr.path.empty());
}

TEST(EventTreeRedo, MovesNodeBehindSiblings) {
    EventList2 t;
    for (const char* p : {"/d/f1", "/d/f2", "/d/f3"}) ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, p)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/e/g")));
    EXPECT_EQ("/d/f1", PopPath(t));
    ASSERT_TRUE(t.Redo("/d/f1"));
    EXPECT_EQ(EventList2::WAITING, StatusOf(t, "/d/f1", false));
    EventList2::NodeInfo info;
    ASSERT_TRUE(t.GetNodeInfo("/d", true, info));
    EXPECT_EQ(0, info.refLocalCount);
    std::vector<ustring> names;
    ASSERT_TRUE(t.GetChildNames("/d", false, names));
    ASSERT_EQ(3u, names.size());
    EXPECT_EQ("f2", names[0].str());
    EXPECT_EQ("f1", names[2].str());
    // the directories on the way went to the end of their lists too
    ASSERT_TRUE(t.GetChildNames("/", true, names));
    ASSERT_EQ(2u, names.size());
    EXPECT_EQ("e", names[0].str());
    EXPECT_EQ("d", names[1].str());

    EXPECT_EQ("/e/g", PopPath(t));
    EXPECT_FALSE(t.Redo("/d/nothing"));
    EXPECT_FALSE(t.Redo("/x/y"));
}

TEST(EventTreeRedo, RetryNodeBecomesWaiting) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/f")));
    EXPECT_EQ("/f", PopPath(t));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/f")));
    ASSERT_TRUE(t.Redo("/f"));
    EXPECT_EQ("/f", PopPath(t));
}

TEST(EventTreePopByPath, HandsOutOnceEvenWhenAskedTwice) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/d/f")));
    Event e;
    ASSERT_TRUE(t.Pop("/d/f", e));
    ASSERT_TRUE(t.Pop("/d/f", e));
    EventList2::NodeInfo info;
    ASSERT_TRUE(t.GetNodeInfo("/d", true, info));
    EXPECT_EQ(1, info.refLocalCount);
    ASSERT_TRUE(t.DoneEvent(e));
    EXPECT_TRUE(t.IsEmpty());
    EXPECT_FALSE(t.Pop("/d/f", e));
    EXPECT_FALSE(t.Pop("/nowhere/f", e));
}

TEST(EventTreePopByPath, DirectoryFirstUnlessKindGiven) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/n")));
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/n", D)));
    Event e;
    ASSERT_TRUE(t.Pop("/n", e));
    EXPECT_TRUE(e.isDir());
    ASSERT_TRUE(t.Pop("/n", false, e));
    EXPECT_TRUE(e.isFile());
    // a directory that only holds others' work has no event to hand out
    EventList2 t2;
    ASSERT_TRUE(t2.Push(Ev(Event::EV_MODIFY, "/d/f")));
    EXPECT_FALSE(t2.Pop("/d", e));
}

TEST(EventTreeClear, ClearLocalEventKeepsServerWork) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/a/loc")));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/a/srv", S, 1)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/b", D)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/b/srv", S, 2)));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/c/loc")));
    ASSERT_TRUE(t.Push(Ev(Event::EV_CREATE, "/s", D | S, 3)));
    t.ClearLocalEvent();
    EXPECT_EQ(0, t.GetLocalEventCount());
    EXPECT_EQ(3, t.GetServerEventCount());
    EXPECT_FALSE(Exists(t, "/a/loc", false));
    EXPECT_TRUE(Exists(t, "/a/srv", false));
    EXPECT_EQ(EventList2::DONE, StatusOf(t, "/b", true));
    EXPECT_FALSE(Exists(t, "/c", true));
    EXPECT_EQ(EventList2::WAITING, StatusOf(t, "/s", true));
}

TEST(EventTreeClear, ClearLocalEventReleasesBusyAncestors) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/a/loc")));
    EXPECT_EQ("/a/loc", PopPath(t));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/a", D | S, 5)));
    t.ClearLocalEvent();
    EXPECT_EQ("/a", PopPath(t));
}

TEST(EventTreeClear, ClearEmptiesEverything) {
    EventList2 t;
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/a/b")));
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/c", S, 1)));
    EXPECT_EQ("/c", PopPath(t));  // the root's files come before its directories
    EXPECT_EQ("/a/b", PopPath(t));
    t.TraverseTree();
    t.Clear();
    EXPECT_TRUE(t.IsEmpty());
    EXPECT_EQ(0, t.GetLocalEventCount());
    EXPECT_EQ(0, t.GetServerEventCount());
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/c", S, 1)));
    EXPECT_EQ("/c", PopPath(t));
}

// ---- many siblings ----------------------------------------------------------------------

TEST(EventTreeScale, ManySiblingsKeepInsertionOrder) {
    EventList2 t;
    const int n = 20000;
    for (int i = 0; i < n; ++i) {
        std::string p = "/big/f" + std::to_string((i * 7919) % n);
        ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, p.c_str())));
    }
    // merge into the middle does not move anything
    ASSERT_TRUE(t.Push(Ev(Event::EV_MODIFY, "/big/f5")));
    EXPECT_EQ(n, t.GetLocalEventCount());
    std::vector<Event> out;
    for (int i = 0; i < n; ++i) {
        Event e;
        ASSERT_TRUE(t.Pop(e));
        ASSERT_EQ("/big/f" + std::to_string((i * 7919) % n), e.m_path.str());
        out.push_back(e);
        if (i % 3 == 0) {
            ASSERT_TRUE(t.DoneEvent(out.back()));
            out.pop_back();
        }
    }
    Event none;
    EXPECT_FALSE(t.Pop(none));
    for (auto& e : out) ASSERT_TRUE(t.DoneEvent(e));
    EXPECT_TRUE(t.IsEmpty());
}

TEST(PackedText, GivesBackExactlyWhatWasStored) {
    const std::string hex = "0123456789abcdef0123456789abcdef";
    for (const std::string& s :
         {std::string(), std::string("a"), std::string(22, 'x'), std::string(23, 'y'), std::string(300, 'z'), hex,
          std::string("0123456789ABCDEF0123456789abcdef"), std::string(32, 'g')}) {
        for (bool packHex : {false, true}) {
            PackedText t = packHex ? PackedText::Hex(ustring(s)) : PackedText(ustring(s));
            PackedText copy(t), moved(std::move(t));
            PackedText& self = copy;
            copy = self;
            EXPECT_EQ(std::string(copy.str().c_str_utf8()), s) << s << " hex " << packHex;
            EXPECT_EQ(std::string(moved.str().c_str_utf8()), s);
            EXPECT_EQ(moved.length(), s.size());
            EXPECT_EQ(moved.empty(), s.empty());
            if (!packHex || s != hex) {
                EXPECT_EQ(std::string(copy.c_str_utf8()), s);
            }
        }
    }
}

TEST(EventList2, PopGivesBackEveryFieldOfThePush) {
    EventList2 tree;
    Event in = Ev(Event::EV_MODIFY, "/a/some-rather-long-file-name.txt", Event::F_SERVER, 7);
    in.m_data_hash = "0123456789abcdef0123456789abcdef";
    in.m_opt = "opt";
    in.m_mac_attr_hash = "m";
    in.m_mac_attr_size = 5;
    in.m_data_size = 9;
    in.m_max_id = 8;
    in.m_sess_id = 3;
    in.m_time = 4;
    in.m_exec_bit = 1;
    ASSERT_TRUE(tree.Push(in));
    Event out;
    ASSERT_TRUE(tree.Pop(out));
    EXPECT_EQ(out.toString(), in.toString());
    EXPECT_EQ(out.m_opt, in.m_opt);
    EXPECT_EQ(out.m_mac_attr_hash, in.m_mac_attr_hash);
    EXPECT_EQ(out.m_mac_attr_size, in.m_mac_attr_size);
    EXPECT_EQ(out.m_max_id, in.m_max_id);
    EXPECT_EQ(out.m_sess_id, in.m_sess_id);
    EXPECT_EQ(out.m_time, in.m_time);
    EXPECT_EQ(out.m_exec_bit, in.m_exec_bit);
    EXPECT_EQ(out.m_mode, in.m_mode);
}

TEST(EventTree, ByteCountFollowsTransfersOnly) {
    EventList2 t;
    auto sized = [](Event e, uint64_t size) {
        e.m_data_size = size;
        return e;
    };
    ASSERT_TRUE(t.Push(sized(Ev(Event::EV_CREATE, "/up"), 100)));
    ASSERT_TRUE(t.Push(sized(Ev(Event::EV_MODIFY, "/d/down", S, 3), 50)));
    ASSERT_TRUE(t.Push(sized(Ev(Event::EV_CREATE, "/e", D), 4096)));  // folders move no bytes
    ASSERT_TRUE(t.Push(sized(Ev(Event::EV_REMOVE, "/gone"), 7)));     // nor removals
    EXPECT_EQ(150u, t.GetByteCount().queued);
    // A newer change of the same file replaces its size rather than adding to it.
    ASSERT_TRUE(t.Push(sized(Ev(Event::EV_MODIFY, "/d/down", S, 4), 70)));
    EXPECT_EQ(170u, t.GetByteCount().queued);
    Event e;
    ASSERT_TRUE(t.Pop("/up", false, e));
    EXPECT_EQ(170u, t.GetByteCount().queued);  // out with a worker: still to go
    ASSERT_TRUE(t.DoneEvent(e));
    EXPECT_EQ(70u, t.GetByteCount().queued);
    EXPECT_EQ(100u, t.GetByteCount().done);
    t.ClearLocalEvent();
    EXPECT_EQ(70u, t.GetByteCount().queued);
    t.Clear();
    EXPECT_EQ(0u, t.GetByteCount().queued);
    EXPECT_EQ(100u, t.GetByteCount().done);
}
