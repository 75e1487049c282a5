# ZelData: one area of interest, either a view of a data set's area or a copy
# that owns its area.


# Raised when Python code that ran inside a call (an argument's own methods, numpy,
# another thread) replaced or reshaped the areas the call was working on.
cdef str _CHANGED = "The data set changed during the call."


cdef int _check_variable_range(object index, size_t count) except -1:
    """Compares a selector index, as a Python object, with a variable count."""
    if index < 0 or index >= count:
        raise IndexError("Variable index out of range.")
    return 0


cdef int _check_size(Py_ssize_t size, Py_ssize_t count) except -1:
    if count != size:
        raise IndexError(f"Size mismatch. Matrix size is {size} while values are {count}.")
    return 0


cdef int _write_values(orvex.ZelData* area, int index, const vector[float]& values) except -1:
    """Overwrites every value of the variable at index with values; the search trees,
    which may hold the old positions or validity, are dropped."""
    if index < 0 or <size_t>index >= area.numVariables():
        raise RuntimeError(_CHANGED)
    _check_size(area.matrixSize(), values.size())
    area.clearSearchTrees()
    if values.size():
        memcpy(area.data(index), values.data(), values.size() * sizeof(float))
    return 0


cdef list _check_variable_names(object variables):
    """The names of a get_values call: a list of str, every item tested first."""
    if not isinstance(variables, list):
        raise TypeError("variables must be a list of strings")
    for name in variables:
        if not isinstance(name, str):
            raise TypeError("Each variable must be a string")
    return variables


cdef vector[orvex.ZelData*] _areas_of(object owner) except *:
    """The library areas of a data set, or the one area of a ZelData, as they are now."""
    cdef vector[orvex.ZelData*] areas
    cdef orvex.ZelDataSet* data_set
    if isinstance(owner, ZelDataSet):
        data_set = (<ZelDataSet>owner).thisptr
        for i in range(data_set.numData()):
            areas.push_back(data_set.data(i))
    else:
        areas.push_back((<ZelData>owner)._area())
    return areas


cdef Py_ssize_t _total_points(const vector[orvex.ZelData*]& areas):
    cdef Py_ssize_t total = 0
    cdef size_t i
    for i in range(areas.size()):
        total += areas[i].matrixSize()
    return total


cdef cnp.ndarray _gather_values(object owner, list names):
    """A packed structured array of the named float32 variables, the areas' points one
    after the other. Every name is looked up in every area, name by name, before the
    copying: the first missing name raises.

    The names are encoded and the array allocated first; the areas are fetched again
    afterwards, since both steps may run Python code."""
    cdef vector[string] encoded = [str.encode(name, "utf-8") for name in names]
    cdef list plain = [name.decode("utf-8") for name in encoded]
    cdef Py_ssize_t total = _total_points(_areas_of(owner))
    cdef cnp.ndarray result = np.zeros(total, dtype=[(name, np.float32) for name in plain])
    cdef vector[orvex.ZelData*] areas = _areas_of(owner)
    if _total_points(areas) != total:
        raise RuntimeError(_CHANGED)
    cdef vector[vector[const float*]] columns
    columns.resize(areas.size())
    cdef size_t f, i
    cdef int index
    for f in range(encoded.size()):
        for i in range(areas.size()):
            index = areas[i].findVariable(encoded[f])
            if index < 0:
                raise ValueError("Could not find variable " + plain[f])
            columns[i].push_back(areas[i].data(index))
    cdef float* rows = <float*>cnp.PyArray_DATA(result)
    cdef Py_ssize_t size
    for i in range(areas.size()):
        size = areas[i].matrixSize()
        _interleave(rows, columns[i], size)
        rows += size * encoded.size()
    return result


@cython.no_gc_clear
cdef class ZelData:
    """Holds all the data for an AOI in a ZelDataSet.

    This class should be used if you want to work on a specific AOI only. In most cases, working with a
    ZelDataSet is prefered since that includes and affects the whole dataset.
    """
    cdef orvex.ZelData* thisptr
    # The data set whose area a view borrows (it keeps the set alive); None for a copy.
    cdef ZelDataSet _owner
    # The owner's content generation when the view was made: a reload makes it stale.
    cdef unsigned long _generation
    # While ZelDataSet.set_values writes through this view: the stamp of the variable
    # list its index was found in (0 otherwise). Writes need the area to keep that list.
    cdef uint64_t _expected_list

    def __cinit__(self, other=None, **kwargs):
        if other and type(other) is ZelData:
            self.thisptr = new orvex.ZelData(deref((<ZelData>other)._area()))
        elif not kwargs.get("yes_create_the_object_i_know_what_i_do"):
            raise TypeError(f"Instances of {self.__class__.__name__} must not be created directly.")

    def __dealloc__(self):
        if self._owner is None:
            del self.thisptr

    cdef bint _has_area(self):
        return self.thisptr != NULL and (self._owner is None or self._owner._generation == self._generation)

    cdef orvex.ZelData* _area(self) except NULL:
        """Runs the wrapped-object check and returns the area."""
        self.__check_thisptr()
        if not self._has_area():
            raise ValueError(_missing_object_message(self))
        return self.thisptr

    cdef orvex.ZelData* _listed_area(self) except NULL:
        """The area, after the wrapped-object check, while it holds the variable list
        that a pending data-set write expects. The write pins only views that held their
        area, so a stale view then means the owner was reloaded during the write."""
        if self._expected_list and not self._has_area():
            raise RuntimeError(_CHANGED)
        cdef orvex.ZelData* area = self._area()
        if self._expected_list and area.variableListStamp() != self._expected_list:
            raise RuntimeError(_CHANGED)
        return area

    cdef float* _cell(self, int n, int index) except? NULL:
        """Value n of variable index in the area as it is now, after checks that may
        have run Python code."""
        cdef orvex.ZelData* area = self._area()
        if n < 0 or n >= area.matrixSize() or index < 0 or <size_t>index >= area.numVariables():
            raise RuntimeError(_CHANGED)
        return area.data(index) + n

    cdef int _check_point(self, int n) except -1:
        # The message quotes matrix_size(); the area's own size bounds the access in
        # case a subclass reports another.
        size = self.matrix_size()
        if n < 0 or n >= size or n >= self.thisptr.matrixSize():
            raise IndexError(f"Index {n} outside valid range (0, {size - 1})")
        return 0

    cdef object _selected_index(self, object variable_index):
        """A variable selector (name or integer) as an index, not yet range-checked."""
        if isinstance(variable_index, str):
            return self.variable_index(variable_index)
        if isinstance(variable_index, (int, np.integer)):
            return variable_index
        raise TypeError("variable_index must be a string or an integer")

    def __check_thisptr(self):
        if not self._has_area():
            raise ValueError(_missing_object_message(self))

    def clear(self) -> None:
        """Clears this object of all data."""
        self._area().clear()

    def copy(self) -> ZelData:
        """Returns a copy of this."""
        self._area()
        return ZelData(self)

    def num_rows(self) -> int:
        """Returns the number of rows in the data matrix."""
        return self._area().numRows()

    def num_columns(self) -> int:
        """Returns the number of columns in the data matrix."""
        return self._area().numColumns()

    def num_variables(self) -> int:
        """Returns the number of variables in the data matrix."""
        return self._area().numVariables()

    def matrix_size(self) -> int:
        """Returns the size of the data matrix."""
        return self._area().matrixSize()

    def current_data_type(self) -> CsDataSystemType:
        """Returns the type of the data."""
        return CsDataSystemType(<int>self._area().currentDataType())

    def variable_name(self, int n) -> str:
        """Returns the name of a variable."""
        return self._area().varName(n).decode("utf-8")

    def variable_description(self, int n) -> str:
        """Returns the description of a variable."""
        return self._area().varDescription(n).decode("utf-8")

    def variable_type(self, int n) -> ZelDataVariableType:
        """Returns the type of a variable."""
        return ZelDataVariableType(self._area().varTypeInt(n))

    def variable_index(self, str variable) -> int:
        """Returns the index of a variable specified by its name."""
        cdef orvex.ZelData* area = self._area()
        return area.findVariable(variable.encode("utf-8"))

    cdef int _extreme_variable(self, object variable_index) except -1:
        """The variable index of find_minimum and find_maximum, range-checked."""
        cdef int found
        cdef string name
        if isinstance(variable_index, str):
            name = str.encode(variable_index, "utf-8")
            found = self._area().findVariable(name)
            if found < 0:
                raise ValueError(variable_index + " is not a valid variable")
            variable_index = found
        elif not isinstance(variable_index, (int, np.integer)):
            raise TypeError("variable_index must be a string or an integer")
        _check_variable_range(variable_index, self._area().numVariables())
        return variable_index

    def find_minimum(self, variable_index) -> tuple[float, int] | tuple[None, None]:
        """Returns the minimum value and its position for a given variable in the dataset.

        Args:
            variable_index: The variable to search over. Can be the variable name or index.

        Returns:
            A tuple with the minimum value and the position of the minimum for the variable.
        """
        self.__check_thisptr()
        cdef int index = self._extreme_variable(variable_index)
        cdef float value = 0
        cdef orvex.ZelData* area = self._area()
        if <size_t>index >= area.numVariables():
            raise RuntimeError(_CHANGED)
        cdef int point = area.findMinIndex(index, value)
        return (None, None) if point < 0 else (value, point)

    def find_maximum(self, variable_index) -> tuple[float, int] | tuple[None, None]:
        """Returns the maximum value and its position for a given variable in the dataset.

        Args:
            variable_index: The variable to search over. Can be the variable name or index.

        Returns:
            A tuple with the maximum value and the position of the maximum for the variable.
        """
        self.__check_thisptr()
        cdef int index = self._extreme_variable(variable_index)
        cdef float value = 0
        cdef orvex.ZelData* area = self._area()
        if <size_t>index >= area.numVariables():
            raise RuntimeError(_CHANGED)
        cdef int point = area.findMaxIndex(index, value)
        return (None, None) if point < 0 else (value, point)

    def value(self, int n, int variable_index) -> float:
        """Returns the value of a variable at a specific position.

        Args:
            n: The position to look up.
            variable_index: The index of the variable.

        Returns:
            The value of the variable at position n.
        """
        self._area()
        self._check_point(n)
        _check_variable_range(variable_index, self._area().numVariables())
        return self._cell(n, variable_index)[0]

    def as_array(self, variables) -> np.ndarray:
        global __warn_deprecated__
        if __warn_deprecated__:
            print("DEPRECATED. Use get_values() instead.")
            __warn_deprecated__ = False
        cdef cnp.ndarray result = self.get_values(variables)
        return result

    def get_values(self, variables) -> np.ndarray:
        """Returns a numpy array of a set of variables.

        Args:
            variables: List of variable names.

        Returns:
            A numpy array of the values found.
        """
        self._area()
        return _gather_values(self, _check_variable_names(variables))

    def values(self, int n, vector[int] variable_ids) -> list[float]:
        """Returns the values of a set of variables at a specific position.

        Args:
            n: The position to lookup.
            variable_ids: The variables to lookup specified by index.

        Returns:
            A list of the values found.
        """
        self._area()
        self._check_point(n)
        for index in variable_ids:
            _check_variable_range(index, self._area().numVariables())
        return [self._cell(n, index)[0] for index in variable_ids]

    def set_value(self, int n, variable_index, float value) -> None:
        """Sets the value of a variable at a specific position.

        Args:
            n: The position to set the value.
            variable_index: The variable to change. Can be the variable name or index.
            value: The value to set
        """
        self._area()
        index = self._selected_index(variable_index)
        self._check_point(n)
        _check_variable_range(index, self._area().numVariables())
        self._cell(n, index)[0] = value
        self._area().clearSearchTrees()

    # The signature is written out: values goes through _as_floats, which copies numeric
    # numpy arrays in one block and otherwise takes what a vector[float] parameter takes.
    @cython.embedsignature(False)
    def set_values(self, variable_index, values) -> None:
        ("ZelData.set_values(self, variable_index, vector[float] values) -> None\n\n"
         "Sets all the values of a variable.\n\n"
         "Args:\n"
         "    variable_index: The variable to change. Can be the variable name or index.\n"
         "    values: The values to set.")
        cdef vector[float] converted = _as_floats(values)
        self._listed_area()
        index = self._selected_index(variable_index)
        _check_size(self.matrix_size(), converted.size())
        _check_variable_range(index, self._listed_area().numVariables())
        cdef int checked = index
        _write_values(self._listed_area(), checked, converted)

    def clear_search_trees(self) -> None:
        """Clears the search trees used in at_global_xy. Call this method if you
        edited any data in this ZelData"""
        self._area().clearSearchTrees()

    def at_global_xy(self, float x, float y, variable_list, bint use_tree=False) -> list[float] | None:
        """Returns the values of a set of variables at a specific global position.

        Args:
            x: The x coordinate of the global position to lookup.
            y: The y coordinate of the global position to lookup.
            variable_list: The variables to lookup. Can be the variable name or index.
            use_tree: If true, the first call will construct a search tree to speed up future searches.

        Returns:
            A list of the values found or None if nothing is found.
        """
        self.__check_thisptr()
        if not isinstance(variable_list, (list, tuple)):
            raise TypeError("variable_list must be a list or tuple")
        # The values are copied out of the area before any item runs Python code.
        cdef pair[int, vector[float]] found = self._area().extractGlobalPoint(
            core.Vector2(x, y), False, use_tree)
        if found.first < 0:
            return None
        cdef list result = []
        cdef Py_ssize_t count = found.second.size()
        for item in variable_list:
            if isinstance(item, str):
                item = self.variable_index(item)
            elif not isinstance(item, (int, np.integer)):
                raise TypeError("Expected integer or string for variable")
            if item < 0 or item >= count:
                raise IndexError("Variable index out of range.")
            result.append(found.second[<Py_ssize_t>item])
        return result

    def lookup_variables(self, float x, float y, variable_list) -> list[float] | None:
        """Returns the values of a set of variables at a specific pixel position.

        Args:
            x: The x coordinate of the global position to lookup.
            y: The y coordinate of the global position to lookup.
            variable_list: The variables to lookup specified by their name.

        Returns:
            A list of the values found or None if nothing is found.
        """
        self.__check_thisptr()
        if not isinstance(variable_list, (list, tuple)):
            raise TypeError("variable_list must be a list or tuple")
        for name in variable_list:
            if not isinstance(name, str):
                raise TypeError("Each variable in variable_list must be a string")
        cdef vector[string] names = [name.encode("utf-8") for name in variable_list]
        cdef vector[float] values
        if not self._area().lookupVariables(x, y, names, values):
            return None
        return list(values)
