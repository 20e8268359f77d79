// The one top-k of every flat search: the tasks of a search hand it every
// score they compute, for one query or many at once, and it ranks each query's
// best `width` = min(k, rows) rows, exactly as a ranking of all the rows would.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "similarity/ranking.h"
#include "similarity/row_scoring.h"
#include "similarity/worker_pool.h"

namespace velk {

// Runs body(task, range) for every range, on the pool unless there is one task
// (so a search asked to stay on the calling thread never creates the pool).
template <class Body>
void run_ranges(std::uint64_t ranges, std::uint64_t tasks, Body&& body) {
  if (tasks == 1) {
    run_here(ranges, body);
  } else {
    run_on_pool(ranges, tasks, body);
  }
}

class TopKCollector {
 public:
  // Whether each task keeps its own best `width` per query: when few rows are
  // wanted. The lists then merge by score, then index, which keeps exactly the
  // rows a ranking of all of them would keep, for any split, in memory that
  // does not grow with the rows. Otherwise every row of every query gets a slot,
  // written by the one task that scores it, so the fill needs no lock and no
  // merge, and each query's slots are selected at the end.
  static bool keeps_best_per_task(std::uint64_t width, std::uint64_t tasks, std::uint64_t rows) noexcept {
    return width * tasks <= rows / 2;
  }

  // What one query holds, in bytes.
  // `filtered`: not every row is offered (a per-query filter), so a slot per
  // row would be left unwritten; each task then keeps its best whatever the width.
  static std::uint64_t bytes_per_query(std::uint64_t width, std::uint64_t tasks, std::uint64_t rows,
                                       bool filtered = false) noexcept {
    return sizeof(ScoredHit) * (filtered || keeps_best_per_task(width, tasks, rows) ? width * tasks : rows);
  }

  // For `queries`, each scored against rows [0, rows) of its context's
  // embeddings by at most `tasks` tasks; 1 <= width <= rows. With
  // row_numbers, a search of a subset: the indices offered and ranked are
  // positions in row_numbers, whose entries are the rows of the embeddings
  // (the NaN repair reads those).
  // With `filtered`, some rows are never offered: the best hits are kept per
  // task, and a query offered fewer than width rows ranks only those.
  TopKCollector(std::span<const FlatScoringContext> queries, std::uint64_t rows, std::uint64_t width,
                std::uint64_t tasks, const std::uint64_t* row_numbers = nullptr, bool filtered = false);

  // Where one task hands in the scores of one query: offer(index, score) takes
  // row `index` scored `score` by a kernel. The offers of one intake must not
  // overlap; those of intakes of different tasks may. A scoring loop keeps it
  // in registers, so the target is found once per query, not once per score:
  // that made the multi-query search about 3% faster than an offer(task,
  // query, index, score) on the collector.
  class Intake {
   public:
    void offer(std::uint64_t index, float score) noexcept {
      if (is_nan(score)) score = settled_score(*query_, row_numbers_ != nullptr ? row_numbers_[index] : index, score);
      if (best_ != nullptr) {
        best_->offer(index, score);
      } else {
        slots_[index] = {index, score};
      }
    }

   private:
    friend class TopKCollector;
    Intake(const FlatScoringContext* query, BestHits* best, ScoredHit* slots, const std::uint64_t* row_numbers) noexcept
        : query_(query), best_(best), slots_(slots), row_numbers_(row_numbers) {}
    const FlatScoringContext* query_;
    BestHits* best_;    // the task's best hits of the query, or nullptr
    ScoredHit* slots_;  // else the query's slots, one per row
    const std::uint64_t* row_numbers_;
  };

  Intake intake(std::uint64_t task, std::uint64_t query) noexcept {
    if (keeps_best_) return {&queries_[query], &best_[query * tasks_ + task], nullptr, row_numbers_};
    return {&queries_[query], nullptr, slots_.get() + query * rows_, row_numbers_};
  }

  bool keeps_best() const noexcept { return keeps_best_; }

  // The best `width` rows of a query, ranked, once every row was offered.
  // Calls for different queries may run at the same time.
  std::vector<ScoredHit> ranked(std::uint64_t query);

 private:
  std::span<const FlatScoringContext> queries_;
  std::uint64_t rows_;
  std::uint64_t width_;
  std::uint64_t tasks_;
  bool keeps_best_;
  const std::uint64_t* row_numbers_;
  std::vector<BestHits> best_;          // best_[query * tasks + task]
  std::unique_ptr<ScoredHit[]> slots_;  // slots_[query * rows + index]
};

}  // namespace velk
