#include "wire/messages.h"

#include <gtest/gtest.h>

namespace {

UploadRequest DeltaUpload() {
    UploadRequest u;
    u.session = "token";
    u.view_id = 7;
    u.sync_id = 40;
    u.has_max_id = true;
    u.max_id = 42;
    u.path = "/a/f.txt";
    u.common_mtime = 1000;
    u.has_content = true;
    u.content = {5, "abc", false, true, "/w/delta", 9};
    u.mtime = 1000;
    u.exec_refer = false;
    u.exec_bit = true;
    u.resumable = true;
    return u;
}

}  // namespace

// The keys the server reads, spelt out once here: a renamed key would fail this.
TEST(UploadMessages, RequestKeysAndReadingBack) {
    const PObject r = DeltaUpload().ToValue();
    EXPECT_EQ(r["_action"].asString(), ustring("resume_upload"));
    EXPECT_EQ(r["max_id"].asUInt64(), 42u);
    EXPECT_EQ(r["common_attribute"]["mtime"].asUInt64(), 1000u);
    EXPECT_EQ(r["file"]["is_delta"].asUInt64(), 1u);
    EXPECT_EQ(r["file"]["data"].asBinary(), PObject::binary_type("/w/delta", 0, 9));
    EXPECT_EQ(r["mtime"]["refer"].asUInt64(), 0u);
    EXPECT_EQ(r["mac_attribute"]["refer"].asUInt64(), 1u);
    EXPECT_FALSE(r["exec_bit"].hasMember("refer"));
    EXPECT_EQ(r["exec_bit"]["exec_bit"].asUInt64(), 1u);

    const UploadRequest back = UploadRequest::From(r);
    EXPECT_EQ(back.ToValue().toString(), r.toString());

    // The dry run carries no bytes; a hit turns the request into a reference.
    PObject kept = r;
    const PObject dry = UploadDryRun(kept);
    EXPECT_EQ(dry["_action"].asString(), ustring("upload"));
    EXPECT_EQ(dry["dry_run"].asUInt64(), 1u);
    EXPECT_FALSE(dry["file"].hasMember("data"));
    ASSERT_NE(UploadData(kept), nullptr);
    ReferToServerContent(kept, 88);
    EXPECT_EQ(UploadData(kept), nullptr);
    EXPECT_TRUE(UploadRequest::From(kept).content.refer);
    EXPECT_EQ(kept["file"]["file_id"].asUInt64(), 88u);
}

TEST(UploadMessages, ReplyNamesANewVersionOfTheKindSent) {
    PObject reply;
    reply["sync_id"] = (uint64_t)43;
    reply["is_dir"] = (uint64_t)0;
    EXPECT_TRUE(UploadReply::From(reply).NamesNewVersion(false));
    EXPECT_FALSE(UploadReply::From(reply).NamesNewVersion(true));
    reply["sync_id"] = "43";
    EXPECT_FALSE(UploadReply::From(reply).NamesNewVersion(false));
}
