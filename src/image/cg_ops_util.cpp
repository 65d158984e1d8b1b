#include "image/cg_ops_util.h"

#include <string>

#include "core/error_report.h"
#include "core/sjis.h"

namespace cg_ops {

bool refuse_picture_size(int64_t w, int64_t h) {
  if (w > max_picture_width) {
    static const std::string text = utf8_to_sjis("ＣＧサイズが大きすぎます。X=%d, Y=%d");
    show_message_box("", text, w, h);
    report_error(100010, 1);
    return true;
  }
  if (w < 1 || h < 1 || h > max_decoded_picture_side) {
    report_error(100010, 1);
    return true;
  }
  return false;
}

}  // namespace cg_ops
