// TolvaneFiltering.hpp: the whole filtering engine in one include.
#pragma once

#include <tolvane/EnforcementDirective.hpp>
#include <tolvane/EvidenceBoundedPolicy.hpp>
#include <tolvane/FlowClassifier.hpp>
#include <tolvane/FlowEvidence.hpp>
#include <tolvane/NameAddressAssociations.hpp>
