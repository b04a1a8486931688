// SPDX-License-Identifier: MIT
// conemask-image on many photographs, end to end: the summary's rows, the
// masks left, and every file in the directory afterwards, for a batch that
// goes well and for each way one fails.
// The photographs are PNGs made by ImageMagick from the example, whose mask
// conemask gives; without ImageMagick the cases are skipped with a note.

#include <gtest/gtest.h>

#include "image_run_fixture.hpp"

#include <set>
#include <string>
#include <vector>

namespace {

using namespace image_run;

const std::string saucer_columns = ",180,40,15,0.119999997,10";
const std::string photo_row = ",400,600,67073,27.947083,71.4690,131,ok" + saucer_columns;
const std::string big_row = ",1600,2400,1073168,27.947083,71.4690,131,ok" + saucer_columns;
const std::string tiny_row = ",2,3,0,0.000000,,,ok" + saucer_columns;  // none selected: no mean, no largest
const std::string header = "file,rows,cols,selected,share_percent,mean_sample,largest_sample,status,red,green,blue,theta,thresh";
const std::string refused = ": not a regular file; refused, so as not to replace it\n";

struct batch_case {
    const char* name;
    std::string setup;  // sh, in the work directory
    std::vector<std::string> args;
    int status;
    std::string err;
    std::vector<std::string> summary;  // sum.csv's lines, header first; none: no sum.csv expected
    std::vector<std::string> masks;    // each the example's mask
    std::set<std::string> left;        // everything in the directory afterwards
    rlim_t file_size_limit = RLIM_INFINITY;
    std::string out = "";
};

const batch_case batch_cases[] = {
    {"rows_in_command_line_order", "cp \"$PHOTOS/big.png\" \"$PHOTOS/tiny.png\" . && " + copies,
     with({"--jobs", "3", "--summary", "sum.csv", "--no-mask", "big.png", "a.png", "tiny.png", "b.png"}), 0, "",
     {header, "big.png" + big_row, "a.png" + photo_row, "tiny.png" + tiny_row, "b.png" + photo_row}, {},
     {"a.png", "b.png", "c.png", "big.png", "tiny.png", "sum.csv"}},
    {"damaged_photograph_in_the_middle", copies + "head -c 20000 a.png >bad.png",
     with({"--summary", "sum.csv", "a.png", "bad.png", "c.png"}), 1, "conemask-image: bad.png: PNG: the file ends early\n",
     {header, "a.png" + photo_row, "bad.png,,,,,,,PNG: the file ends early" + saucer_columns, "c.png" + photo_row},
     {"a.raw", "c.raw"}, {"a.png", "a.raw", "b.png", "bad.png", "c.png", "c.raw", "sum.csv"}},
    {"missing_photograph_then_others", copies, with({"--summary", "-", "gone.png", "a.png"}), 1,
     "conemask-image: gone.png: No such file or directory\n", {}, {"a.raw"}, {"a.png", "a.raw", "b.png", "c.png"},
     RLIM_INFINITY, header + "\r\ngone.png,,,,,,,No such file or directory" + saucer_columns + "\r\na.png" + photo_row + "\r\n"},
    {"missing_photograph_in_a_missing_folder", copies, with({"--summary", "sum.csv", "gone/x.png", "a.png"}), 1,
     "conemask-image: gone/x.png: No such file or directory\n",
     {header, "gone/x.png,,,,,,,No such file or directory" + saucer_columns, "a.png" + photo_row}, {"a.raw"},
     {"a.png", "a.raw", "b.png", "c.png", "sum.csv"}},
    {"names_needing_csv_quotes", copies + "cp a.png 'a,b.png' && cp a.png 'say \"hi\".png' && cp a.png \"$(printf 'two\\nlines.png')\"",
     with({"--no-mask", "--summary", "sum.csv", "a,b.png", "say \"hi\".png", "two\nlines.png"}), 0, "",
     {header, "\"a,b.png\"" + photo_row, "\"say \"\"hi\"\".png\"" + photo_row, "\"two\nlines.png\"" + photo_row}, {},
     {"a.png", "b.png", "c.png", "a,b.png", "say \"hi\".png", "two\nlines.png", "sum.csv"}},
    {"two_photographs_of_one_name", "mkdir a b out && cp \"$PHOTOS/photo.png\" a/x.png && cp a/x.png b/x.png",
     with({"--output-dir", "out", "--summary", "sum.csv", "a/x.png", "b/x.png"}), 1,
     "conemask-image: out/x.raw: the mask of a/x.png and the mask of b/x.png would be one file\n", {}, {},
     {"a/", "a/x.png", "b/", "b/x.png", "out/"}},
    {"one_name_as_jpeg_and_png", "cp \"$PHOTOS/photo.png\" x.png && cp x.png x.jpg", with({"x.png", "x.jpg"}), 1,
     "conemask-image: x.raw: the mask of x.png and the mask of x.jpg would be one file\n", {}, {}, {"x.jpg", "x.png"}},
    {"masks_and_pictures_in_an_output_dir", "mkdir out sub && cp \"$PHOTOS/photo.png\" a.png && cp a.png sub/b.png",
     with({"--output-dir", "out/", "--pictures", "a.png", "sub/b.png"}), 0, "", {}, {"out/a.raw", "out/b.raw"},
     {"a.png", "sub/", "sub/b.png", "out/", "out/a.raw", "out/a.mask.png", "out/b.raw", "out/b.mask.png"}},
    {"missing_output_dir", copies, with({"--output-dir", "nowhere", "a.png"}), 1,
     "conemask-image: nowhere: No such file or directory\n", {}, {}, {"a.png", "b.png", "c.png"}},
    {"full_disk", "mkdir small && mount -t tmpfs -o size=256k tmpfs small && " + copies,
     with({"--jobs", "1", "--output-dir", "small", "--summary", "sum.csv", "a.png", "b.png"}), 1,
     "conemask-image: small/a.raw: No space left on device\n", {}, {}, {"a.png", "b.png", "c.png", "small/"}},
    {"file_too_large", copies, with({"--jobs", "1", "--summary", "sum.csv", "a.png", "b.png"}), 1,
     "conemask-image: a.raw: File too large\n", {}, {}, {"a.png", "b.png", "c.png"}, 100000},
    {"output_a_device_node", copies + "mknod nulldev c 1 3", with({"--output", "nulldev", "a.png"}), 1,
     "conemask-image: nulldev" + refused, {}, {}, {"a.png", "b.png", "c.png", "nulldev%"}},
    {"output_a_fifo", copies + "mkfifo a.raw", with({"a.png", "b.png"}), 1, "conemask-image: a.raw" + refused, {}, {},
     {"a.png", "a.raw|", "b.png", "c.png"}},
    {"picture_a_fifo", copies + "mkfifo p.png", with({"--png", "p.png", "a.png"}), 1, "conemask-image: p.png" + refused,
     {}, {}, {"a.png", "b.png", "c.png", "p.png|"}},
    {"summary_written_into_a_device", copies + "mknod nulldev c 1 3", with({"--no-mask", "--summary", "nulldev", "a.png"}),
     0, "", {}, {}, {"a.png", "b.png", "c.png", "nulldev%"}},
    {"png_the_mask_by_another_path", copies, with({"--output", "M.raw", "--png", "./M.raw", "a.png"}), 1,
     "conemask-image: ./M.raw: the mask and its picture cannot be one file\n", {}, {}, {"a.png", "b.png", "c.png"}},
    {"png_a_hard_link_to_the_mask", copies + "echo old >M.raw && ln M.raw H.png",
     with({"--output", "M.raw", "--png", "H.png", "a.png"}), 1,
     "conemask-image: H.png: the mask and its picture cannot be one file\n", {}, {}, {"a.png", "b.png", "c.png", "M.raw", "H.png"}},
    {"png_a_symbolic_link_to_the_mask", copies + "echo old >M.raw && ln -s M.raw L.png",
     with({"--output", "M.raw", "--png", "L.png", "a.png"}), 1,
     "conemask-image: L.png: the mask and its picture cannot be one file\n", {}, {}, {"a.png", "b.png", "c.png", "M.raw", "L.png@"}},
    {"summary_replacing_a_photograph", copies, with({"--summary", "./b.png", "a.png", "b.png"}), 1,
     "conemask-image: ./b.png: the output would replace the image\n", {}, {}, {"a.png", "b.png", "c.png"}},
    {"negative_thresh_counts_selected_zero_samples", "cp \"$PHOTOS/tiny.png\" .",
     {"--summary", "sum.csv", "tiny.png", "255", "0", "0", "0.5", "-1"}, 0, "",
     {header, "tiny.png,2,3,4,66.666667,55.0000,146,ok,255,0,0,0.5,-1"}, {}, {"tiny.png", "tiny.raw", "sum.csv"}},
};

void PrintTo(const batch_case& c, std::ostream* out) { *out << c.name; }

class batch : public ::testing::TestWithParam<batch_case> {};

TEST_P(batch, writes_its_rows_and_masks)
{
    SKIP_WITHOUT_PHOTOGRAPHS();
    const batch_case& c = GetParam();
    const work_dir d;
    if (!d.set_up(c.setup)) {
        GTEST_SKIP() << "note: cannot set up (" << c.setup << "): mknod and mount need root";
    }
    const run_result result = run_program(CONEMASK_IMAGE_PATH, d.dir, d.root, c.args, c.file_size_limit);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, c.out);
    if (!c.summary.empty()) {
        std::string expected;
        for (const std::string& line : c.summary) {
            expected += line + "\r\n";
        }
        EXPECT_EQ(read_file(d.dir / "sum.csv"), expected);
    }
    for (const std::string& mask : c.masks) {
        EXPECT_TRUE(read_file(d.dir / mask) == photos().mask) << mask << " is not the example's mask";
    }
    EXPECT_EQ(listing(d.dir), c.left);
}

INSTANTIATE_TEST_SUITE_P(rows, batch, ::testing::ValuesIn(batch_cases),
                         [](const ::testing::TestParamInfo<batch_case>& row) { return std::string(row.param.name); });

}  // namespace
