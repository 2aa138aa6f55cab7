#include "tarv/autocal/board_fit.h"

namespace tarv {

json fitBoardGeometry(const cv::Mat&, const json&) { throw CalibrationError("NOT_AVAILABLE"); }

}  // namespace tarv
