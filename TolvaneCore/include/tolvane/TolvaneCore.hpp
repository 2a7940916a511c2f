// TolvaneCore.hpp: the whole domain model in one include.
#pragma once

#include <tolvane/Commitment.hpp>
#include <tolvane/Domain.hpp>
#include <tolvane/DomainMatcher.hpp>
#include <tolvane/DomainNormalizer.hpp>
#include <tolvane/Health.hpp>
#include <tolvane/JSON.hpp>
#include <tolvane/PublicSuffixList.hpp>
#include <tolvane/Scope.hpp>
#include <tolvane/Website.hpp>
