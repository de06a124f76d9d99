#pragma once

// What a camera answered while FFmpeg opened its stream. When no RTSP status line comes (a camera
// that never answers, one that closes at once, a web server on the port) FFmpeg's open fails with
// "invalid data" whatever happened and says nothing at its usual log levels; it only traces each
// byte its RTSP answer reader reads, with the read's result. Those traces, fed in here, tell the
// cases apart. Pure; one object serves one open, on one thread.

#include <string>

namespace velmo::ai {

enum class AnswerFault {
  unknown,      // nothing was traced
  silent,       // a read waited out the socket time-out
  closed,       // the camera closed (or reset) the connection
  interrupted,  // a read was cut short by the deadline or a stop
  not_rtsp,     // an answer whose first line is no RTSP status line (nor an RTSP request)
  description,  // the last answer said 200 OK: its description was what failed
  status,       // the last answer's status was neither 200 nor an error FFmpeg names itself
};

class RtspAnswers {
 public:
  // One read of the answer reader: `result` 1 with the byte read, else the read's error code.
  void read(int result, unsigned char byte);

  AnswerFault fault() const;
  // The last answer's status line ("RTSP/1.0 200 OK"); empty when none came.
  const std::string& status_line() const { return status_; }

 private:
  bool traced_ = false;
  int failed_ = 0;         // the error of the last read, 0 when it gave a byte
  bool at_status_ = true;  // the next line is the first of an answer
  bool not_rtsp_ = false;
  std::string line_;  // the line being read, its first bytes
  std::string status_;
};

}  // namespace velmo::ai
