// Sentence assembly and GPRMC decoding, byte by byte as the port delivers them.
#include <gtest/gtest.h>

#include "nmeaview/nmea.hpp"
#include "tests/nmeaview/common.hpp"
#include "tests/support/board.hpp"

namespace {

using namespace nmeaview;
using namespace nmea_test;

// What the program prints for these bytes, fed one at a time through one run's state.
struct reader {
    reader_state state;

    std::string take(std::string_view bytes) {
        std::string out;
        std::array<char, line_max> buf;
        for (char c : bytes)
            out.append(buf.data(), take_byte(state, c, buf));
        return out;
    }
};

// The reference fix with its magnetic variation padded to make the sentence `length` long.
std::string reference_of_length(std::size_t length) {
    std::string magvar = "003.1";
    magvar.insert(0, length - 70, '0');
    return framed("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394," + magvar + ",W");
}

std::string with(std::string s, std::string_view from, std::string_view to) {
    return s.replace(s.find(from), from.size(), to);
}

const std::string after_fix = line("000 0:0:0 Lat: 48.7.38, Long: 11.31.0 Speed: 224");
const std::string all_zero = line("000 0:0:0 Lat: 0.0.0, Long: 0.0.0 Speed: 0");

struct case_ {
    const char* what;
    std::string input;
    std::string output;
};

TEST(Reader, PrintsWhatTheRulesAllow) {
    const std::string ref_no_end = reference.substr(0, reference.size() - 2);
    const case_ cases[] = {
        {"reference fix", reference, reference_line},
        {"LF alone ends a sentence", ref_no_end + "\n", reference_line},
        {"CR may repeat before the LF", ref_no_end + "\r\r\n", reference_line},
        {"no fix as the first sentence", no_fix, all_zero},
        {"no fix keeps the last position", reference + no_fix, reference_line + after_fix},
        {"lowercase checksum digit", with(reference, "*6A", "*6a"), ""},
        // A letter after the ",W" sets the body's XOR: o to 05, j to 00, AK to 60.
        {"a first checksum digit that is no hex digit is worth 0", with(reference, "W*6A", "Wo*G5"),
         reference_line},
        {"a second checksum digit that is no hex digit makes the checksum 0",
         with(reference, "W*6A", "Wj*6G"), reference_line},
        {"... whatever the first digit", with(reference, "W*6A", "WAK*6G"), ""},
        {"wrong checksum", with(reference, "*6A", "*6B"), ""},
        {"another talker", framed("GNRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,,"),
         ""},
        {"GPGGA prints nothing and changes nothing",
         "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n" + no_fix,
         all_zero},
        {"empty course: not printed, yet the position is kept",
         framed("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,,230394,003.1,W") + no_fix, after_fix},
        {"each position field is kept as soon as it is read",
         reference + framed("GPRMC,123519,A,5000.5,N,01131,E,022.4,084.4,230394,003.1,W") + no_fix,
         reference_line + line("000 0:0:0 Lat: 50.0.5, Long: 11.31.0 Speed: 224")},
        {"79 characters", reference_of_length(79), reference_line},
        {"80 characters, then a good one", reference_of_length(80) + reference, reference_line},
        {"endless body, then a good one", std::string(200, 'x').insert(0, "$") + reference,
         reference_line},
        {"\"$\" in a body enters the checksum",
         framed("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,0$3.1,W"),
         reference_line},
        {"\"$\" in a body starts no sentence", "$GPR" + reference, ""},
        {"a byte after the checksum spoils the sentence", ref_no_end + "X\r\n" + reference,
         reference_line},
        {"a \"$\" after the checksum spoils the next one as well", ref_no_end + reference, ""},
        {"garbage between sentences", "\r\n*12,\x01\xff junk\n" + reference + "zz*\r\n" + no_fix,
         reference_line + after_fix},
        {"time and date pieces, fractions of seconds dropped",
         framed("GPRMC,083005.00,V,,,,,,,010203,,,N"),
         line("321 8:30:5 Lat: 0.0.0, Long: 0.0.0 Speed: 0")},
        {"a short time field lends the characters after it",
         framed("GPRMC,1,A,4807.038,N,01131.000,E,022.4,084.4,230394,,"),
         line("94323 1:0:48 Lat: 48.7.38, Long: 11.31.0 Speed: 224")},
        {"empty status is no fix", framed("GPRMC,123519,,,,,,,,230394,,"),
         line("94323 12:35:19 Lat: 0.0.0, Long: 0.0.0 Speed: 0")},
        {"date without a comma after it", framed("GPRMC,123519,V,,,,,,,230394"), ""},
        {"no fix with a position field missing", framed("GPRMC,123519,V,,,,,,230394,"), ""},
        {"no comma at all", framed("GPRMC"), ""},
        {"name must match exactly",
         framed("GPRMCX,123519,V,,,,,,,230394,,") + framed("gprmc,123519,V,,,,,,,230394,,"), ""},
        {"speed and fraction digits; a point may end the speed",
         framed("GPRMC,000000,A,0000.0380,N,18000.5,W,0.05,1.,010100,,") + no_fix +
             framed("GPRMC,000000,A,0000.0,N,00000.0,W,12.57,1.0,010100,,") +
             framed("GPRMC,000000,A,0000.0,N,00000.0,W,22.,1.0,010100,,"),
         line("011 0:0:0 Lat: 0.0.380, Long: 180.0.5 Speed: 0") +
             line("000 0:0:0 Lat: 0.0.380, Long: 180.0.5 Speed: 0") +
             line("011 0:0:0 Lat: 0.0.0, Long: 0.0.0 Speed: 125") +
             line("011 0:0:0 Lat: 0.0.0, Long: 0.0.0 Speed: 220")},
        {"white space before a number is skipped",
         framed("GPRMC,123519,A,4807.038,N,01131.000,E, \t022.4,084.4,230394,003.1,W"),
         reference_line},
        {"numbers too large saturate as on the board",
         framed("GPRMC,000000,A,9999999999.9999999999,N,-9999999999.0,E,0.0,0.0,010100,,") +
             framed("GPRMC,000000,A,0.0,N,0.0,E,999999999.9,0.0,010100,,") +
             framed("GPRMC,000000,A,99999999999999999999999999.0,N,0.0,E,0.0,0.0,010100,,"),
         line("011 0:0:0 Lat: 21474836.47.2147483647, Long: -21474836.-48.0 Speed: 0") +
             line("011 0:0:0 Lat: 0.0.0, Long: 0.0.0 Speed: 2147483647") +
             line("011 0:0:0 Lat: 21474836.47.0, Long: 0.0.0 Speed: 0")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(reader{}.take(c.input), c.output) << c.what;
}

TEST(Reader, NeverReadsPastTheSentence) {
    reader r;
    EXPECT_EQ(r.take(reference), reference_line);
    // Its checksum digits are commas (worth 0, as is the body's XOR), so the date field ends
    // right at the end of the sentence; the year piece would fall on what the reference left
    // in the buffer.
    EXPECT_EQ(r.take("$GPRMC,,V,AB,,,,,,2*,,\n"),
              line("002 0:0:0 Lat: 48.7.38, Long: 11.31.0 Speed: 224"));
}

TEST(Reader, RecordingsOfRealReceivers) {
    const std::string in = support::read_file(recording("receivers-excerpt.nmea"));
    ASSERT_FALSE(in.empty());
    EXPECT_EQ(reader{}.take(in), support::read_file(recording("receivers-excerpt.out")));
}

}  // namespace
