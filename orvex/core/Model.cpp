#include "orvex/core/Model.h"

namespace orvex {

int Model::countOfType(ParameterType type) const {
    int count = 0;
    for (int i = 0; i < parametersCount(); ++i)
        if (parameterType(i) == type)
            ++count;
    return count;
}

int Model::variablesCount() const { return countOfType(Variable); }
int Model::constantsCount() const { return countOfType(Constant); }

int Model::getVariables(Vector& out, int start) const { return getParametersByType(Variable, out, start); }
int Model::setVariables(const Vector& in, int start) { return setParametersByType(Variable, in, start); }
int Model::getConstants(Vector& out, int start) const { return getParametersByType(Constant, out, start); }
int Model::setConstants(const Vector& in, int start) { return setParametersByType(Constant, in, start); }

int Model::getParameters(Vector& out, int start) const {
    const int count = parametersCount();
    for (int i = 0; i < count; ++i)
        out[start + i] = parameterValue(i);
    return start + count;
}

int Model::setParameters(const Vector& in, int start) {
    const int count = parametersCount();
    for (int i = 0; i < count; ++i)
        setParameterValue(i, in[start + i]);
    return start + count;
}

int Model::getParametersByType(ParameterType type, Vector& out, int start) const {
    int position = start;
    for (int i = 0; i < parametersCount(); ++i)
        if (parameterType(i) == type)
            out[position++] = parameterValue(i);
    return position;
}

int Model::setParametersByType(ParameterType type, const Vector& in, int start) {
    int position = start;
    for (int i = 0; i < parametersCount(); ++i)
        if (parameterType(i) == type)
            setParameterValue(i, in[position++]);
    return position;
}

} // namespace orvex
