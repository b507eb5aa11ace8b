#include "rate_converter.h"

#include <soxr.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "rates.h"

namespace tonescan {

// Runs `work` over chunks of floats on a thread of its own, in the order they
// are sent, a few chunks behind the sender at most. After an error from
// `work` the rest is dropped, and the error is returned to the sender.
class Handoff {
public:
    explicit Handoff(std::function<std::string(std::span<const float>)> work)
        : work_(std::move(work)), thread_([this] { Run(); }) {}
    Handoff(const Handoff&) = delete;
    Handoff& operator=(const Handoff&) = delete;
    ~Handoff() { Finish(); }

    // Queues a copy of `values`, waiting while the queue is full.
    std::string Send(std::span<const float> values) {
        std::unique_lock lock(mutex_);
        space_.wait(lock, [this] { return queue_.size() < kDepth || !error_.empty(); });
        if (!error_.empty()) return error_;
        std::vector<float> chunk;
        if (!spare_.empty()) {
            chunk = std::move(spare_.back());
            spare_.pop_back();
        }
        chunk.assign(values.begin(), values.end());
        queue_.push_back(std::move(chunk));
        ready_.notify_one();
        return {};
    }

    // Waits until every chunk sent has been worked on.
    std::string Finish() {
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
        }
        ready_.notify_one();
        if (thread_.joinable()) thread_.join();
        return error_;
    }

private:
    static constexpr std::size_t kDepth = 4;

    void Run() {
        for (;;) {
            std::vector<float> chunk;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return !queue_.empty() || ended_; });
                if (queue_.empty()) return;
                chunk = std::move(queue_.front());
                queue_.pop_front();
                if (!error_.empty()) continue;
            }
            std::string error = work_(chunk);
            {
                std::lock_guard lock(mutex_);
                if (error_.empty()) error_ = std::move(error);
                spare_.push_back(std::move(chunk));
            }
            space_.notify_one();
        }
    }

    std::function<std::string(std::span<const float>)> work_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable space_;
    std::deque<std::vector<float>> queue_;
    std::vector<std::vector<float>> spare_;
    bool ended_ = false;
    std::string error_;
    std::thread thread_;
};

void SoxrDeleter::operator()(soxr* resampler) const { soxr_delete(resampler); }

RateConverter::RateConverter(const Sink& sink) : sink_(sink), converted_(kMostInputs) {}

RateConverter::~RateConverter() = default;

bool RateConverter::ConvertsInParts(int rate) {
    if (rate == kScanRate || rate == 2 * kScanRate) return true;
    const std::size_t factor = FirstStepFactor(rate);
    const std::unique_ptr<RatioDecimator> ratio = RatioDecimator::Make(rate, factor);
    // A whole second must hold whole periods of the ratio.
    return ratio && rate % (static_cast<int64_t>(factor) * ratio->PeriodInputs()) == 0;
}

std::string RateConverter::Open(int rate, int target_rate, bool integer_input, bool beside) {
    std::string error = OpenHere(rate, target_rate, integer_input);
    if (error.empty() && (resampler_ || ratio_) && beside) {
        handoff_ = std::make_unique<Handoff>([this](std::span<const float> mono) { return Convert(mono); });
    }
    return error;
}

std::string RateConverter::OpenHere(int rate, int target_rate, bool integer_input) {
    if (rate == target_rate) return {};
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    // Files are scanned in parallel already; one thread per resampler.
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    if (target_rate != kScanRate) {
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        resampler_.reset(soxr_create(rate, target_rate, 1, &error, &io, &quality, &runtime));
        if (error != nullptr) return std::string("cannot convert the sample rate: ") + error;
        return {};
    }
    if (rate == 2 * kScanRate && integer_input) {
        decimator_.emplace();
        return {};
    }
    std::size_t factor = 1;
    if (integer_input && FirstStepFactor(rate) > 1) {
        predecimator_.emplace(rate);
        factor = predecimator_->Factor();
    }
    ratio_ = RatioDecimator::Make(rate, factor);
    if (ratio_) return {};
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_16_BITQ, 0);
    quality.passband_end = 1660.0 / 2000.0;
    quality.stopband_begin = 2340.0 / 2000.0;
    const double from = static_cast<double>(rate) / static_cast<double>(factor);
    resampler_.reset(soxr_create(from, kScanRate, 1, &error, &io, &quality, &runtime));
    if (error != nullptr) return std::string("cannot convert the sample rate: ") + error;
    return {};
}

std::string RateConverter::PushSums(std::span<const int32_t> sums, int channels) {
    if (decimator_) {
        samples_.clear();
        decimator_->Push(sums, 13 + channels, samples_);
        sink_(samples_);
        return {};
    }
    if (!resampler_ && !ratio_) {
        samples_.resize(sums.size());
        // The mean, rounded half to even as the float path's rounding is.
        std::transform(sums.begin(), sums.end(), samples_.begin(), [channels](int32_t sum) {
            return static_cast<int16_t>(channels == 1 ? sum : (sum >> 1) + ((sum & 1) & ((sum >> 1) & 1)));
        });
        sink_(samples_);
        return {};
    }
    const float scale = 1.0f / (32768.0f * static_cast<float>(channels));
    if (predecimator_) {
        lower_.clear();
        predecimator_->PushSums(sums, scale, lower_);
        return Push(lower_);
    }
    floats_.resize(sums.size());
    std::transform(sums.begin(), sums.end(), floats_.begin(),
                   [scale](int32_t sum) { return static_cast<float>(sum) * scale; });
    return Push(floats_);
}

std::string RateConverter::Push(std::span<const float> mono) { return handoff_ ? handoff_->Send(mono) : Convert(mono); }

std::string RateConverter::Convert(std::span<const float> mono) {
    if (ratio_) {
        ratioed_.clear();
        ratio_->Push(mono, ratioed_);
        Emit(ratioed_);
        return {};
    }
    if (!resampler_) {
        Emit(mono);
        return {};
    }
    // No input is no call: libsoxr takes a null buffer for the end.
    if (mono.empty()) return {};
    do {
        std::size_t consumed = 0;
        std::size_t produced = 0;
        const soxr_error_t error = soxr_process(resampler_.get(), mono.data(), mono.size(), &consumed,
                                                converted_.data(), converted_.size(), &produced);
        if (error != nullptr) return std::string("sample rate conversion failed: ") + error;
        Emit({converted_.data(), produced});
        mono = mono.subspan(consumed);
    } while (!mono.empty());
    return {};
}

std::string RateConverter::Flush(int channels) {
    if (decimator_) {
        samples_.clear();
        decimator_->Flush(13 + channels, samples_);
        sink_(samples_);
        return {};
    }
    if (!resampler_ && !ratio_) return {};
    if (predecimator_) {
        lower_.clear();
        predecimator_->Flush(lower_);
        if (std::string error = Push(lower_); !error.empty()) return error;
    }
    if (handoff_) {
        if (std::string error = handoff_->Finish(); !error.empty()) return error;
    }
    if (ratio_) {
        ratioed_.clear();
        ratio_->Flush(ratioed_);
        Emit(ratioed_);
        return {};
    }
    std::size_t produced = 0;
    do {
        const soxr_error_t error =
            soxr_process(resampler_.get(), nullptr, 0, nullptr, converted_.data(), converted_.size(), &produced);
        if (error != nullptr) return std::string("sample rate conversion failed: ") + error;
        Emit({converted_.data(), produced});
    } while (produced > 0);
    return {};
}

std::size_t RateConverter::FirstStepFactor(int rate) {
    return rate >= 4 * kScanRate ? FirDecimator::FactorFor(rate) : 1;
}

void RateConverter::Emit(std::span<const float> values) {
    samples_.resize(values.size());
    RoundToSamples(values.data(), 32768.0f, samples_.data(), values.size());
    sink_(samples_);
}


}
