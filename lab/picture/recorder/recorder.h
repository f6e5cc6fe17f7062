// What the picture build's allocator (recorder.cpp) tells the tracer: a
// log of events, each a PictureRecord, which the tracer reads by the
// fields' and enumerators' names, and the switch that starts recording.
#ifndef LAB_PICTURE_RECORDER_RECORDER_H_
#define LAB_PICTURE_RECORDER_RECORDER_H_

#include <cstddef>

enum PictureEvent {
  picture_allocated,
  picture_released,
  picture_released_again,
  picture_bad_release,   // an address no new returned, or one untracked
  picture_pages_reused,  // the oldest released block's pages went back
  picture_faulted,       // a stop on a recorded block's closed page
};

// How a faulting access used memory, as the processor reports it.
enum PictureAccess { picture_unknown, picture_read, picture_write };

// One event of the log: the block, the pages it was given (its mapping and
// their bytes, the closed page included), how a fault used it, and the
// return addresses of the calls that led to it, innermost first.
struct PictureRecord {
  PictureEvent kind;
  PictureAccess access;
  void* start;
  std::size_t size;
  void* mapping;
  std::size_t mapped;
  void* callers[16];
};

extern "C" {
extern volatile int picture_recording;  // set by the tracer while it records
// The events since the tracer last read them; it sets the count back to 0.
extern PictureRecord* picture_log;
extern volatile std::size_t picture_logged;
}

#endif  // LAB_PICTURE_RECORDER_RECORDER_H_
