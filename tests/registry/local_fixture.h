// A fresh registry, diagnostics and fault plan per test; any violation the
// test did not expect fails it.
#pragma once

#include <gtest/gtest.h>
#include <hk/host.h>

#include <algorithm>

class LocalKernelTest : public testing::Test {
protected:
    void SetUp() override
    {
        hk::reg::Reset();
        hk::ClearDiagnostics();
        hk::ClearViolations();
        hk::ResetFaults();
        hk::SetPnpHooks(hk::PnpHooks());
    }
    void TearDown() override
    {
        hk::reg::ReportOpenHandles("at the end of the test");
        for (const hk::Violation &v : hk::Violations()) {
            ADD_FAILURE() << "unexpected violation " << v.name << " by " << v.image << ": " << v.detail;
        }
        hk::ClearViolations();
        hk::reg::Reset();
    }
    // The next call of |service| fails (counting starts afresh).
    void FailNext(hk::Service service)
    {
        hk::ResetFaults();
        hk::FailNthCall(service, 1);
    }
    // How many violations of |name| were recorded; consumes them.
    size_t ExpectViolation(const std::string &name)
    {
        std::vector<hk::Violation> all = hk::Violations(), rest;
        size_t n = 0;
        for (const hk::Violation &v : all) {
            if (v.name == name) ++n;
            else rest.push_back(v);
        }
        hk::ClearViolations();
        for (const hk::Violation &v : rest) hk::ReportViolation(v.name, v.image, v.detail);
        return n;
    }
};
