#pragma once

#include "orvex/core/Vector.h"

namespace orvex {

// Base of every parameter model that an estimator adjusts. Each parameter has an
// index, a value and a role; the gather/scatter operations flatten all parameters,
// or only those of one role, into a Vector from position `start` on, so several
// models can share one parameter vector. The caller provides room in the vector.
class Model {
public:
    enum ParameterType { Variable = 0, Constant = 1 };

    virtual ~Model() = default;

    virtual int variablesCount() const;
    virtual int constantsCount() const;
    // Each returns the position after the last one written or read.
    virtual int getVariables(Vector& out, int start) const;
    virtual int setVariables(const Vector& in, int start);
    virtual int getConstants(Vector& out, int start) const;
    virtual int setConstants(const Vector& in, int start);
    virtual int getParameters(Vector& out, int start) const;
    virtual int setParameters(const Vector& in, int start);

    virtual int parametersCount() const = 0;
    virtual ParameterType parameterType(int index) const = 0;
    virtual void setParameterType(int index, ParameterType type) = 0;
    virtual double parameterValue(int index) const = 0;
    virtual void setParameterValue(int index, double value) = 0;

    int getParametersByType(ParameterType type, Vector& out, int start) const;
    int setParametersByType(ParameterType type, const Vector& in, int start);

private:
    int countOfType(ParameterType type) const;
};

} // namespace orvex
