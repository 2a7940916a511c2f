#include <ostream>
#include <tolvane/Health.hpp>
#include <tolvane/JSONCoding.hpp>

namespace tolvane {

namespace {
template <class E, std::size_t N>
std::optional<E> lookup(const std::array<E, N>& cases, std::string_view text) {
    for (E c : cases) {
        if (rawValue(c) == text) return c;
    }
    return std::nullopt;
}

// A bare raw-value string; an unknown string is corrupt data.
template <class E, std::size_t N>
E decodeRaw(const nlohmann::json& in, const std::vector<CodingKey>& path, std::string_view typeName,
            const std::array<E, N>& cases) {
    coding::Decoder decoder(in, path);
    const std::string text = decoder.string(typeName);
    auto value = lookup(cases, text);
    if (!value) {
        decoder.fail(
            DecodingError::Kind::dataCorrupted,
            "Cannot initialize " + std::string(typeName) + " from invalid String value " + text);
    }
    return *value;
}
}  // namespace

std::string_view rawValue(CommitmentHealth value) {
    return value == CommitmentHealth::healthy ? "healthy" : "degraded";
}

std::string_view rawValue(DegradedReason value) {
    switch (value) {
        case DegradedReason::recoveringFromCorruption:
            return "recoveringFromCorruption";
        case DegradedReason::pathUnverified:
            return "pathUnverified";
        case DegradedReason::failedOpen:
            return "failedOpen";
    }
    return "failedOpen";
}

std::string_view rawValue(EnforcementValidationFailure value) {
    switch (value) {
        case EnforcementValidationFailure::extensionNotApproved:
            return "extensionNotApproved";
        case EnforcementValidationFailure::filterNotArmed:
            return "filterNotArmed";
        case EnforcementValidationFailure::connectionNotDropped:
            return "connectionNotDropped";
        case EnforcementValidationFailure::networkUnavailable:
            return "networkUnavailable";
        case EnforcementValidationFailure::inconclusive:
            return "inconclusive";
    }
    return "inconclusive";
}

template <>
std::optional<CommitmentHealth> fromRawValue<CommitmentHealth>(std::string_view text) {
    return lookup(allCommitmentHealthCases, text);
}
template <>
std::optional<DegradedReason> fromRawValue<DegradedReason>(std::string_view text) {
    return lookup(allDegradedReasonCases, text);
}
template <>
std::optional<EnforcementValidationFailure> fromRawValue<EnforcementValidationFailure>(
    std::string_view text) {
    return lookup(allEnforcementValidationFailureCases, text);
}

std::ostream& operator<<(std::ostream& os, CommitmentHealth value) {
    return os << rawValue(value);
}
std::ostream& operator<<(std::ostream& os, DegradedReason value) {
    return os << rawValue(value);
}
std::ostream& operator<<(std::ostream& os, EnforcementValidationFailure value) {
    return os << rawValue(value);
}
std::ostream& operator<<(std::ostream& os, const EnforcementHealthStatus& value) {
    if (auto reason = value.degradedReason()) return os << "degraded(" << *reason << ")";
    return os << "healthy";
}
std::ostream& operator<<(std::ostream& os, const EnforcementValidation& value) {
    if (auto failure = value.failure()) return os << "failed(" << *failure << ")";
    return os << "passed";
}

void JSONCoding<CommitmentHealth>::encode(nlohmann::ordered_json& out, const CommitmentHealth& v) {
    out = std::string(rawValue(v));
}
CommitmentHealth JSONCoding<CommitmentHealth>::decode(const nlohmann::json& in,
                                                      const std::vector<CodingKey>& path) {
    return decodeRaw(in, path, "CommitmentHealth", allCommitmentHealthCases);
}

void JSONCoding<DegradedReason>::encode(nlohmann::ordered_json& out, const DegradedReason& v) {
    out = std::string(rawValue(v));
}
DegradedReason JSONCoding<DegradedReason>::decode(const nlohmann::json& in,
                                                  const std::vector<CodingKey>& path) {
    return decodeRaw(in, path, "DegradedReason", allDegradedReasonCases);
}

void JSONCoding<EnforcementValidationFailure>::encode(nlohmann::ordered_json& out,
                                                      const EnforcementValidationFailure& v) {
    out = std::string(rawValue(v));
}
EnforcementValidationFailure JSONCoding<EnforcementValidationFailure>::decode(
    const nlohmann::json& in, const std::vector<CodingKey>& path) {
    return decodeRaw(in, path, "EnforcementValidationFailure",
                     allEnforcementValidationFailureCases);
}

void JSONCoding<EnforcementHealthStatus>::encode(nlohmann::ordered_json& out,
                                                 const EnforcementHealthStatus& v) {
    if (auto reason = v.degradedReason()) {
        out = coding::encodeCase("degraded", std::string(rawValue(*reason)));
    } else {
        out = coding::encodeCase("healthy");
    }
}
EnforcementHealthStatus JSONCoding<EnforcementHealthStatus>::decode(
    const nlohmann::json& in, const std::vector<CodingKey>& path) {
    coding::Decoder decoder(in, path);
    if (coding::decodeCaseName(decoder, "EnforcementHealthStatus", {"healthy", "degraded"}) == 0) {
        decoder.required("healthy").object("EnforcementHealthStatus.healthy");
        return EnforcementHealthStatus::healthy();
    }
    auto payload =
        decoder.required("degraded").object("EnforcementHealthStatus.degraded").required("_0");
    return EnforcementHealthStatus::degraded(
        JSONCoding<DegradedReason>::decode(payload.value(), payload.path()));
}

void JSONCoding<EnforcementValidation>::encode(nlohmann::ordered_json& out,
                                               const EnforcementValidation& v) {
    if (auto failure = v.failure()) {
        out = coding::encodeCase("failed", std::string(rawValue(*failure)));
    } else {
        out = coding::encodeCase("passed");
    }
}
EnforcementValidation JSONCoding<EnforcementValidation>::decode(
    const nlohmann::json& in, const std::vector<CodingKey>& path) {
    coding::Decoder decoder(in, path);
    if (coding::decodeCaseName(decoder, "EnforcementValidation", {"passed", "failed"}) == 0) {
        decoder.required("passed").object("EnforcementValidation.passed");
        return EnforcementValidation::passed();
    }
    auto payload = decoder.required("failed").object("EnforcementValidation.failed").required("_0");
    return EnforcementValidation::failed(
        JSONCoding<EnforcementValidationFailure>::decode(payload.value(), payload.path()));
}

TOLVANE_INSTANTIATE_JSON(CommitmentHealth);
TOLVANE_INSTANTIATE_JSON(DegradedReason);
TOLVANE_INSTANTIATE_JSON(EnforcementValidationFailure);
TOLVANE_INSTANTIATE_JSON(EnforcementHealthStatus);
TOLVANE_INSTANTIATE_JSON(EnforcementValidation);

}  // namespace tolvane
