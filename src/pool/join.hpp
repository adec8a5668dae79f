// Fork-join on a pool: join_context(registry, a, b) runs a(moved) and
// b(moved) and returns both results.  `b` is offered to other workers while
// the calling worker runs `a`; `moved` tells each piece whether it runs on
// another thread than the one that forked it (work handed in from outside
// the pool counts as moved for both pieces).
//
// Neither piece is abandoned: when `a` fails, `b` still runs to its end and
// then `a`'s failure is rethrown; otherwise `b`'s failure, if any, is.
#pragma once

#include <exception>
#include <optional>
#include <utility>

#include "pool/job.hpp"
#include "pool/latch.hpp"
#include "pool/registry.hpp"
#include "pool/worker_thread.hpp"

namespace rowmerge::pool {

template <class A, class B>
std::pair<JobResultOf<A>, JobResultOf<B>> join_context(Registry& registry, A&& a, B&& b) {
  using RA = JobResultOf<A>;
  using RB = JobResultOf<B>;
  return registry.in_worker([&](WorkerThread& worker, bool injected) -> std::pair<RA, RB> {
    StackJob<SpinLatch, std::remove_reference_t<B>> job_b(b, worker.registry().sleep(), worker.index());
    const JobRef ref_b = job_b.as_job_ref();
    worker.push(ref_b);

    std::optional<RA> result_a;
    std::exception_ptr failure_a;
    try {
      result_a.emplace(call_with_migrated(a, injected));
    } catch (...) {
      failure_a = std::current_exception();
    }
    if (failure_a) {
      // `b` may still sit in our queue or run elsewhere; its frame is ours.
      worker.wait_until(job_b.latch().core());
      std::rethrow_exception(failure_a);
    }

    while (!job_b.latch().probe()) {
      if (const auto job = worker.take_local_job()) {
        if (*job == ref_b) {
          // Nobody took `b`: run it here, as not moved (unless we were).
          RB result_b = job_b.run_inline(injected);
          return {std::move(*result_a), std::move(result_b)};
        }
        job->execute();
      } else {
        // `b` was stolen: help with other work until it is done.
        worker.wait_until_cold(job_b.latch().core());
        break;
      }
    }
    return {std::move(*result_a), job_b.into_result()};
  });
}

}  // namespace rowmerge::pool
