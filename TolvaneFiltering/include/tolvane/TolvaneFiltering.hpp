// TolvaneFiltering.hpp: the whole filtering engine in one include.
#pragma once

#include <tolvane/AdvisoryLock.hpp>
#include <tolvane/AtomicFile.hpp>
#include <tolvane/DirectiveStore.hpp>
#include <tolvane/EnforcementDirective.hpp>
#include <tolvane/EnforcementDirectiveWatcher.hpp>
#include <tolvane/EvidenceBoundedPolicy.hpp>
#include <tolvane/FlowClassifier.hpp>
#include <tolvane/FlowEvidence.hpp>
#include <tolvane/NameAddressAssociations.hpp>
