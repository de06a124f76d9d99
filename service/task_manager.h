#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "analysis/task.h"

namespace velmo::ai {

// Makes the runner of one task; an empty result counts as a failure. Exceptions pass through.
using RunnerFactory = std::function<std::unique_ptr<TaskRunner>(const TaskConfig&)>;

// Registry of the running analysis tasks, keyed by task id, with at most one task per stream id.
// Runners are created and started under the registry's lock, so concurrent requests for the same
// task or stream see each other; retired runners are stopped outside it, so a slow stop never
// holds up other requests.
class TaskManager {
 public:
  // Throws InvalidInput for a capacity of 0 or an empty factory.
  TaskManager(std::size_t max_tasks, RunnerFactory factory);
  // Destroying a runner stops it.
  ~TaskManager() = default;
  TaskManager(const TaskManager&) = delete;
  TaskManager& operator=(const TaskManager&) = delete;

  // TaskConflict on a duplicate task id or stream id or a full registry; ServiceUnavailable when
  // the factory returns nothing. Factory and start failures pass through; nothing is registered.
  void create(const TaskConfig& config);
  // Starts the new runner before the old one is stopped, which hands its undelivered events to the
  // new one. Returns the new runner's snapshot: as it stands once the old one has stopped, or as it
  // started when it was removed meanwhile. TaskNotFound for an unknown task id, TaskConflict when
  // another task holds the stream id; the old runner is untouched on failure.
  TaskSnapshot replace(const std::string& task_id, const TaskConfig& config);
  // TaskNotFound for an unknown task id.
  void remove(const std::string& task_id);

  std::optional<TaskSnapshot> get(const std::string& task_id) const;
  // Sorted by task id in byte order.
  std::vector<TaskSnapshot> list() const;
  struct Counts {
    std::size_t tasks = 0;
    std::size_t failed = 0;
  };
  // What health needs, without a snapshot of every task.
  Counts counts() const;
  std::size_t size() const;
  std::size_t capacity() const { return max_tasks_; }

  // Stops every registered runner and leaves the registry empty.
  void stop_all();

 private:
  // Under mutex_: true when a runner other than the one under `except_id` holds `stream_id`.
  bool stream_taken(const std::string& stream_id, const std::string* except_id) const;
  // Under mutex_: a started runner from the factory, or an exception.
  std::shared_ptr<TaskRunner> make_started(const TaskConfig& config);

  const std::size_t max_tasks_;
  RunnerFactory factory_;
  mutable std::mutex mutex_;
  // Shared so that a replaced runner can hand over to its successor while a DELETE takes that out.
  std::unordered_map<std::string, std::shared_ptr<TaskRunner>> runners_;
};

}  // namespace velmo::ai
