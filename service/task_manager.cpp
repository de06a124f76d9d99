#include "service/task_manager.h"

#include "foundation/errors.h"
#include "foundation/thread_name.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace velmo::ai {

TaskManager::TaskManager(std::size_t max_tasks, RunnerFactory factory)
    : max_tasks_(max_tasks), factory_(std::move(factory)) {
  if (max_tasks_ == 0 || !factory_) throw InvalidInput("invalid task manager configuration");
}

bool TaskManager::stream_taken(const std::string& stream_id, const std::string* except_id) const {
  for (const auto& [id, runner] : runners_) {
    if (except_id != nullptr && id == *except_id) continue;
    if (runner->snapshot().config.stream_id == stream_id) return true;
  }
  return false;
}

std::shared_ptr<TaskRunner> TaskManager::make_started(const TaskConfig& config) {
  std::unique_ptr<TaskRunner> runner = factory_(config);
  if (!runner) throw ServiceUnavailable("task runner factory returned null");
  // A runner whose start throws is destroyed here, still under the lock, and never registered.
  runner->start();
  return runner;
}

void TaskManager::create(const TaskConfig& config) {
  std::lock_guard lock(mutex_);
  if (runners_.contains(config.task_id)) throw TaskConflict("task_id already exists");
  if (stream_taken(config.stream_id, nullptr)) throw TaskConflict("stream_id already has an active task");
  if (runners_.size() >= max_tasks_) throw TaskConflict("maximum active AI task count reached");
  std::shared_ptr<TaskRunner> runner = make_started(config);
  // Should the insertion fail, the runner's destructor stops it again.
  runners_.emplace(config.task_id, std::move(runner));
}

TaskSnapshot TaskManager::replace(const std::string& task_id, const TaskConfig& config) {
  std::shared_ptr<TaskRunner> retired;
  std::shared_ptr<TaskRunner> fresh;
  TaskSnapshot answer;
  {
    std::lock_guard lock(mutex_);
    auto it = runners_.find(task_id);
    if (it == runners_.end()) throw TaskNotFound("task not found");
    if (stream_taken(config.stream_id, &task_id)) throw TaskConflict("stream_id already has an active task");
    fresh = make_started(config);
    // A DELETE that comes in while the old runner stops must not turn this answer into a 404:
    // the replacement did run.
    answer = fresh->snapshot();
    retired = std::exchange(it->second, fresh);
  }
  // Should a DELETE stop `fresh` meanwhile, it refuses what is handed over and the old runner
  // delivers it itself, as at any stop.
  retired->stop_into(*fresh);
  retired.reset();
  std::lock_guard lock(mutex_);
  if (auto it = runners_.find(task_id); it != runners_.end() && it->second == fresh) answer = fresh->snapshot();
  return answer;
}

void TaskManager::remove(const std::string& task_id) {
  std::shared_ptr<TaskRunner> retired;
  {
    std::lock_guard lock(mutex_);
    auto it = runners_.find(task_id);
    if (it == runners_.end()) throw TaskNotFound("task not found");
    retired = std::move(it->second);
    runners_.erase(it);
  }
  retired->stop();
  retired.reset();
}

std::optional<TaskSnapshot> TaskManager::get(const std::string& task_id) const {
  std::lock_guard lock(mutex_);
  auto it = runners_.find(task_id);
  if (it == runners_.end()) return std::nullopt;
  return it->second->snapshot();
}

std::vector<TaskSnapshot> TaskManager::list() const {
  std::lock_guard lock(mutex_);
  std::vector<TaskSnapshot> snapshots;
  snapshots.reserve(runners_.size());
  for (const auto& [id, runner] : runners_) snapshots.push_back(runner->snapshot());
  std::sort(snapshots.begin(), snapshots.end(),
            [](const TaskSnapshot& a, const TaskSnapshot& b) { return a.config.task_id < b.config.task_id; });
  return snapshots;
}

TaskManager::Counts TaskManager::counts() const {
  std::lock_guard lock(mutex_);
  Counts counts;
  counts.tasks = runners_.size();
  for (const auto& [id, runner] : runners_) {
    if (runner->phase() == TaskPhase::failed) ++counts.failed;
  }
  return counts;
}

std::size_t TaskManager::size() const {
  std::lock_guard lock(mutex_);
  return runners_.size();
}

void TaskManager::stop_all() {
  std::unordered_map<std::string, std::shared_ptr<TaskRunner>> retired;
  {
    std::lock_guard lock(mutex_);
    retired.swap(runners_);
  }
  // Side by side, so shutdown waits for the slowest task rather than for the sum of them all.
  std::vector<std::thread> stoppers;
  stoppers.reserve(retired.size());
  for (auto& [id, runner] : retired) {
    TaskRunner* task = runner.get();
    try {
      stoppers.emplace_back([task, name = "stop:" + id] {
        set_thread_name(name);
        try {
          task->stop();
        } catch (...) {
          // Destroying the runner below stops it for good.
        }
      });
    } catch (const std::system_error&) {
      task->stop();  // no thread to spare: stop it here
    }
  }
  for (auto& stopper : stoppers) stopper.join();
  retired.clear();
}

}  // namespace velmo::ai
