# ZelDataSet: the areas of one measurement step, their image names and metadata,
# loaded from and saved to data-set files and HDF5 entries.
from cpython.bytes cimport PyBytes_AS_STRING, PyBytes_FromStringAndSize

cdef str _UNDECODABLE = "Unable to decode memory buffer"

# Variables that delete_variable refuses to remove.
cdef tuple _REQUIRED_VARIABLES = (
    "X", "Y", "Z", "U", "V", "W", "sigma", "x", "y", "u", "v", "q", "r", "q_ref", "r_ref",
    "x_c", "y_c", "u_c", "v_c")

# The keys of the strain result, in the field order of orvex::StrainVariableIds.
cdef tuple _STRAIN_KEYS = (
    "exx", "exy", "eyy", "fxx", "fxy", "fyx", "fyy", "e1", "e2", "gamma", "tresca", "vonmises")


cdef list _strain_indexes(const orvex.StrainVariableIds& ids):
    return [ids.exx, ids.exy, ids.eyy, ids.fxx, ids.fxy, ids.fyx, ids.fyy, ids.e1, ids.e2,
            ids.gamma, ids.tresca, ids.vonmises]


cdef class ZelDataSet:
    """Holds all the Zel data in a data file.

    This is the main data class. It has access and can modify all the different AOIs in a dataset. It is
    an iterable class that returns all ZelData for each AOI in the dataset.
    """
    cdef orvex.ZelDataSet* thisptr
    cdef str _file_name
    # Counts replacements of the areas; views made before the last one are stale.
    cdef unsigned long _generation

    def __cinit__(self, other=None):
        if other:
            if not isinstance(other, ZelDataSet):
                raise TypeError("other is not a ZelDataSet")
            self.thisptr = new orvex.ZelDataSet(deref((<ZelDataSet>other).thisptr))
            self._file_name = (<ZelDataSet>other)._file_name
        else:
            self.thisptr = new orvex.ZelDataSet()

    def __dealloc__(self):
        del self.thisptr

    def __getitem__(self, key):
        cdef int n = key
        return self.data(n)

    cdef _replace(self, unique_ptr[orvex.ZelDataSet]& loaded):
        """Takes the content of a freshly loaded library data set; old views go stale."""
        del self.thisptr
        self.thisptr = loaded.release()
        self._generation += 1

    cdef int _check_generation(self, unsigned long generation) except -1:
        if self._generation != generation:
            raise RuntimeError(_CHANGED)
        return 0

    def __check_thisptr(self):
        if self.thisptr == NULL:
            raise ValueError(_missing_object_message(self))

    def __is_hdf5(self, file_name):
        return _split_hdf5_entry(file_name)

    def copy(self) -> ZelDataSet:
        """Returns a copy of this."""
        self.__check_thisptr()
        return ZelDataSet(self)

    def current_data_type(self) -> CsDataSystemType:
        """Returns the type of the data."""
        self.__check_thisptr()
        return CsDataSystemType(<int>self.thisptr.currentDataType())

    def load_from_data(self, bytes buffer, str file_name) -> None:
        """Loads data from a byte array into this object.

        Args:
            buffer: The memory buffer data to load from.
            file_name: Dataset file name.
        """
        self.__check_thisptr()
        self._decode(buffer, len(buffer), file_name)

    cdef _decode(self, const char* image, Py_ssize_t size, str file_name):
        """Takes the data set of the file image of size bytes at image, named file_name."""
        cdef unique_ptr[orvex.ZelDataSet] loaded = unique_ptr[orvex.ZelDataSet](new orvex.ZelDataSet())
        # Images are below 2 GiB: the decoder counts bytes in an int.
        if size > INT_MAX or not loaded.get().decode(image, <int>size, False):
            raise ValueError(_UNDECODABLE)
        self._replace(loaded)
        self._file_name = file_name

    def load(self, str file_name) -> None:
        """Loads a Zel-3D data file into this object.

        Args:
            file_name: The file to load. Can be the path to an out file or a dataset in an HDF5 file
        """
        self.__check_thisptr()
        cdef unique_ptr[orvex.ZelDataSet] loaded
        entry = self.__is_hdf5(_checked_file_name(file_name))
        if entry is not None:
            self.load_from_data(_read_hdf5_entry(entry[0], entry[1]), file_name)
        else:
            loaded.reset(new orvex.ZelDataSet())
            if not loaded.get().load(file_name.encode("utf-8")):
                raise NameError(f"Unable to find file: {file_name} or file is corrupted")
            self._replace(loaded)
        self._file_name = file_name

    def save(self, str file_name=None) -> None:
        """Saves the ZelDataSet to an out file or HDF5 dataset.

        Args:
            file_name: The name of the file to save this ZelDataSet. To save in an hdf5 file, the file name
                should follow the format 'path/to/file.h5:out:index', where index is the dataset index.
        """
        self.__check_thisptr()
        if file_name is None:
            file_name = self._file_name
            if file_name is None:
                raise NameError("A file name is required")
        cdef _Interruption interruption = _Interruption(False)
        entry = self.__is_hdf5(_checked_file_name(file_name))
        if entry is not None:
            _write_hdf5_entry(entry[0], entry[1], self.export_raw())
        elif not self.thisptr.save(file_name.encode("utf-8"), interruption.check()):
            interruption.raise_error()
            raise OSError("Unable to save file: " + file_name)

    def variables(self) -> list[str]:
        """Returns a list of variables."""
        self.__check_thisptr()
        return list(self._variable_table())

    def variable_descriptions(self) -> list[str]:
        """Returns a list of variables descriptions."""
        self.__check_thisptr()
        return [description for (_, description) in self._variable_table().values()]

    def variable_types(self) -> list[ZelDataVariableType]:
        """Returns a list of the variables types."""
        self.__check_thisptr()
        return [variable_type for (variable_type, _) in self._variable_table().values()]

    cdef dict _variable_table(self):
        """Name -> (type, description) of each name's first occurrence over the areas."""
        cdef dict table = {}
        for area in self:
            for k in range(area.num_variables()):
                name = area.variable_name(k)
                if name not in table:
                    table[name] = (area.variable_type(k), area.variable_description(k))
        return table

    def set_variable_description(self, str variable, str variable_description) -> None:
        """Changes the description for the specified variable"""
        self.__check_thisptr()
        if variable is None:
            raise TypeError("variable must be a string")
        if variable_description is None:
            raise TypeError("variable_description must be a string")
        cdef string name = variable.encode("utf-8")
        cdef string description = variable_description.encode("utf-8")
        cdef orvex.ZelData* area
        cdef int index
        for i in range(self.thisptr.numData()):
            area = self.thisptr.data(i)
            index = area.findVariable(name)
            if index >= 0:
                area.setVarAttributes(index, name, description, area.varType(index))

    def export_raw(self) -> bytes:
        """Returns the raw data of the ZelDataSet in the Zel-3D format."""
        self.__check_thisptr()
        cdef size_t length = 0
        cdef char* image = self.thisptr.encode(length, False)
        if image == NULL:
            raise ValueError("Unable to encode the data set")
        try:
            return image[:length]
        finally:
            delete_array(image)

    def file_name(self) -> str | None:
        """Returns ZelDataSet file name or None if empty."""
        self.__check_thisptr()
        return self._file_name

    def set_file_name(self, str file_name) -> None:
        """Sets the file name of this ZelDataSet."""
        self.__check_thisptr()
        self._file_name = file_name

    def reference_image(self) -> str:
        """Returns the reference image file name."""
        self.__check_thisptr()
        return self.thisptr.referenceImage().decode("utf-8")

    def set_reference_image(self, str file_name) -> None:
        """Sets the reference image file name."""
        self.__check_thisptr()
        self.thisptr.setReference(file_name.encode("utf-8"))

    def deformed_image(self) -> str:
        """Returns the deformed image file name."""
        self.__check_thisptr()
        return self.thisptr.deformedImage().decode("utf-8")

    def set_deformed_image(self, str file_name) -> None:
        """Sets the deformed image file name."""
        self.__check_thisptr()
        self.thisptr.setDeformed(file_name.encode("utf-8"))

    def num_data(self) -> int:
        """Returns the number of AOI in the dataset."""
        self.__check_thisptr()
        return self.thisptr.numData()

    def data(self, int n) -> ZelData:
        """Returns the data for the requested AOI."""
        self.__check_thisptr()
        cdef int count = self.thisptr.numData()
        if n < 0 or n >= count:
            raise IndexError(f"Index {n} outside valid range (0, {count - 1})")
        cdef ZelData view = ZelData(yes_create_the_object_i_know_what_i_do=True)
        view.thisptr = self.thisptr.data(n)
        view._owner = self
        view._generation = self._generation
        return view

    def matrix_size(self) -> int:
        """Returns the combined size of all AOIs."""
        self.__check_thisptr()
        return sum([area.matrix_size() for area in self])

    def get_values(self, variables) -> np.ndarray:
        """Returns a numpy array for the variables for all AOIs.

        The triangulation() function returns indices into this array.

        Args:
            variables: List of variable names.

        Returns:
            A numpy array of the values found.
        """
        self.__check_thisptr()
        if isinstance(variables, str):
            variables = [variables]
        return _gather_values(self, _check_variable_names(variables))

    def set_values(self, variables) -> None:
        """Sets the values for an existing variable in the dataset.

        Args:
            variables: Dictionary or numpy structured array of variables with the values to set
        """
        self.__check_thisptr()
        if isinstance(variables, np.ndarray):
            names = variables.dtype.names
        elif isinstance(variables, dict):
            names = variables.keys()
        else:
            raise TypeError("Expected dict or numpy structured array.")
        cdef int count = self.thisptr.numData()
        # Python code runs between the library reads (the name's encoding, a subclass's
        # data, the column's slicing, the view's set_values): they are made only while the
        # data set holds the areas it held when the call began, and the view writes only
        # while its area holds the variable list that the index was found in.
        cdef unsigned long generation = self._generation
        cdef orvex.ZelData* area
        cdef Py_ssize_t offset, size
        cdef uint64_t listed
        cdef int i
        for name in names:
            column = variables[name]
            offset = 0
            for i in range(count):
                encoded = name.encode("utf-8")
                self._check_generation(generation)
                area = self.thisptr.data(i)
                index = area.findVariable(encoded)
                if index < 0:
                    raise ValueError("Could not find variable " + name)
                size = area.matrixSize()
                listed = area.variableListStamp()
                view = self.data(i)
                run = column[offset:offset + size]
                self._check_generation(generation)
                _set_listed_values(view, index, run, listed)
                offset += size

    def triangulation(self, int sub_sample=1) -> np.ndarray | None:
        """Returns a triangulation for the dataset.

        Args:
            sub_sample: Sub-sampling value for data reduction.

        Returns:
            A n-by-3 numpy array of triangle indices, where n is the number of triangles.
        """
        self.__check_thisptr()
        if sub_sample < 1 or sub_sample > 4:
            raise ValueError(f"sub_sample must be in range [1,4], got {sub_sample}")
        cdef Py_ssize_t points = 0
        for i in range(self.thisptr.numData()):
            points += self.thisptr.data(i).matrixSize()
        if points > INT_MAX:
            raise OverflowError("The data set has too many points for 32-bit triangle indexes.")
        cdef vector[int] indexes = self.thisptr.triangulation(sub_sample)
        cdef Py_ssize_t count = indexes.size() // 3
        if count == 0:
            return None
        cdef cnp.ndarray result = np.empty((count, 3), dtype=np.int32)
        memcpy(cnp.PyArray_DATA(result), indexes.data(), count * 3 * sizeof(int))
        return result

    def range(self, str variable) -> tuple[double, double]:
        """Returns the range of values for a variable."""
        self.__check_thisptr()
        cdef string name = _encoded(variable)
        cdef optional[pair[double, double]] found = self.thisptr.range(name)
        if not found.has_value():
            raise ValueError(f"Error in calculating range for '{variable}'.")
        return (found.value().first, found.value().second)

    def sum_range(self, str variable_0, str variable_1) -> tuple[double, double]:
        """Returns the range of the sum of two variables."""
        self.__check_thisptr()
        cdef string name_0 = _encoded(variable_0)
        cdef string name_1 = _encoded(variable_1)
        cdef optional[pair[double, double]] found = self.thisptr.sum_range(name_0, name_1)
        if not found.has_value():
            raise ValueError("Error in calculating range for the sum of variables "
                             f"'{variable_0}' and '{variable_1}'.")
        return (found.value().first, found.value().second)

    def add_variables(self, variables) -> list[str]:
        """Adds new variables to every AOI contained in the dataset."""
        self.__check_thisptr()
        if not isinstance(variables, dict):
            raise TypeError("variables must be a dictionary")
        return [self.add_variable(name, variables[name]) for name in variables]

    def add_variable(self, str variable_name, str variable_description,
                     variable_type=ZelDataVariableType.Unknown, vector[float] values=[]) -> str:
        """Adds a variable to all AOIs in the dataset."""
        self.__check_thisptr()
        if not isinstance(variable_type, ZelDataVariableType):
            raise TypeError("variable_type must be a ZelDataVariableType")
        cdef int type_code = variable_type.value
        cdef string name, description
        if self.thisptr.numData():
            name = variable_name.encode("utf-8")
            description = variable_description.encode("utf-8")
        cdef orvex.ZelData* area
        cdef int index
        cdef Py_ssize_t offset = 0
        cdef Py_ssize_t size, run
        cdef str added = ""
        for i in range(self.thisptr.numData()):
            area = self.thisptr.data(i)
            index = area.addVariable(type_code, name, description)
            added = area.varName(index).decode("utf-8")
            size = area.matrixSize()
            if values.size():
                run = max(0, min(size, <Py_ssize_t>values.size() - offset))
                _check_size(size, run)
                if size:
                    memcpy(area.data(index), values.data() + offset, size * sizeof(float))
            offset += size
        return added

    def delete_variable(self, str variable_name) -> None:
        """Deletes variable from all AOIs in the dataset.

        Cannot delete any of the required variables:
        X, Y, Z, U, V, W, sigma, x, y, u, v, q, r, q_ref, r_ref, x_c, y_c, u_c, v_c
        """
        self.__check_thisptr()
        if variable_name is None:
            raise TypeError("variable_name must be a string")
        if variable_name in _REQUIRED_VARIABLES:
            raise ValueError("You cannot delete this variable")
        cdef string name = variable_name.encode("utf-8")
        cdef orvex.ZelData* area
        cdef int index
        for i in range(self.thisptr.numData()):
            area = self.thisptr.data(i)
            index = area.findVariable(name)
            if index >= 0:
                area.deleteVariable(index)

    def compute_strain(self, int window_size=15, tensor_type=TensorType.LagrangeStrainTensor,
                       bint compute_principal_strain=True, bint reuse_variables=True,
                       bint compute_tresca=False, bint compute_von_mises=False,
                       bint output_gradient=False, bint add_size_to_decription=True,
                       list displacement_variables=[], str suffix=None) -> dict[str, str]:
        """Computes the strain over all AOIs in the dataset.

        Args:
            window_size: The size of the smoothing window, in grid points.
            tensor_type: The strain tensor to compute, a TensorType.
            compute_principal_strain: Also compute the principal strains e1, e2 and the angle gamma of e1
                (radians).
            reuse_variables: Overwrite strain variables of earlier computations instead of adding new ones.
            compute_tresca: Also compute the Tresca strain.
            compute_von_mises: Also compute the von Mises strain.
            output_gradient: Also output the displacement gradient H = F - I in each triangle's local
                frame: fxx = du/dx, fxy = du/dy, fyx = dv/dx, fyy = dv/dy.
            add_size_to_decription: Append the window size to the variable descriptions.
            displacement_variables: A vector of two or three that defines the variables that should be used
                as displacements. The order must be X, Y and Z-axis displacements.
            suffix: A suffix for the names of the created variables. Should only contain
                alphanumericals and underscores.

        Returns:
            A dictionary with all the variables created. The possible dictionary keys are
            [exx, exy, eyy, fxx, fxy, fyx, fyy, e1, e2, gamma, tresca, vonmises]
        """
        cdef orvex.StrainComputationSettings settings
        cdef vector[orvex.StrainVariableIds] ids
        self.__check_thisptr()
        if len(displacement_variables) not in (0, 2, 3):
            raise ValueError("The size of the displacement variables must be three for 3D data, "
                             "2 for 2D data or zero to use the default ones")
        if suffix is not None:
            for character in suffix:
                if not (character.isalnum() or character == "_"):
                    raise ValueError("The suffix can only contain alphanumericals and underscores")
        settings.windowSize = window_size
        settings.computePrincipalStrain = compute_principal_strain
        settings.reuseVariables = reuse_variables
        settings.tensorType = <orvex.TensorType>_enum_code(tensor_type.value, "orvex::TensorType")
        settings.computeTresca = compute_tresca
        settings.computeVonMises = compute_von_mises
        settings.outputGradient = output_gradient
        settings.addSizeToDescription = add_size_to_decription
        if suffix is not None:
            settings.suffix = suffix.encode("utf-8")
        for name in displacement_variables:
            settings.displacementVariables.push_back(name.encode("utf-8"))
        if not analysis.computeStrain(self.thisptr, settings, &ids):
            raise ValueError("Error in calculating strain.")
        if ids.empty():
            return {}
        cdef orvex.ZelData* first = self.thisptr.data(0)
        return {key: first.varName(index).decode("utf-8")
                for key, index in zip(_STRAIN_KEYS, _strain_indexes(ids[0])) if index >= 0}

    def compute_curvature(self, int window_size=15, bint compute_principal_curvature=True,
                          bint reuse_vars=True, bint weighted_filter=True) -> None:
        """Computes the curvature over all AOIs in the dataset.

        Args:
            window_size: The size of the fitting window, in grid points.
            compute_principal_curvature: Also compute the principal curvatures and their angle.
            reuse_variables: Overwrite curvature variables of earlier computations instead of adding new ones.
            weighted_filter: Weight the points of the window by their distance to its centre.
        """
        self.__check_thisptr()
        if not analysis.computeCurvature(self.thisptr[0], window_size, compute_principal_curvature,
                                         reuse_vars, weighted_filter, NULL):
            raise ValueError("Error in calculating curvature.")

    def smooth(self, str variable, int window_size=15, bint weighted=True) -> None:
        """Applies smoothing to a variable

        Args:
            variable: The name or description of the variable to smooth in place.
            window_size: The size of the smoothing window, in grid points.
            weighted: Weight the points of the window by their distance to its centre.
        """
        self.__check_thisptr()
        cdef string name = _encoded(variable)
        if not analysis.smoothVariable(self.thisptr[0], name, window_size, weighted, NULL):
            raise ValueError("Error in smooth variable.")

    def transform(self, RigidTransformation rigid_transformation, bint displacement_only=False) -> None:
        """Applies a transformation to all AOIs in the dataset.

        Changes every AOI that holds the coordinates X, Y, Z and a correlation variable, at
        its valid points (correlation not negative): the coordinates are transformed,
        X -> T(X), and the displacements U, V, W and the uncertainties SIGMA_X, SIGMA_Y,
        SIGMA_Z are rotated. Other AOIs are left as they are. The transformation is recorded
        in the dataset's metadata.

        Args:
            rigid_transformation: The transformation to apply, a RigidTransformation.
            displacement_only: Leave the coordinates and uncertainties as they are and change
                only the displacements, to those of the transformed deformed points:
                U -> T(X + U) - X, translation included.
        """
        self.__check_thisptr()
        if rigid_transformation is None:
            raise TypeError("rigid_transformation must be a RigidTransformation")
        analysis.applyTransformation(self.thisptr[0], rigid_transformation.thisptr[0], displacement_only,
                                     <orvex.CsDataSystemType>1)

    def clear_search_trees(self) -> None:
        """Clears the search trees used in at_global_xy. Call this method if you
        edited any data in this ZelDataSet"""
        self.__check_thisptr()
        for area in self:
            area.clear_search_trees()

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
        for area in self:
            found = area.at_global_xy(x, y, variable_list, use_tree)
            if found is not None:
                return found
        return None

    def lookup_variables(self, float x, float y, variable_list) -> list[float] | None:
        """Returns the values of a set of variables at a specific pixel position.

        Args:
            x: The x coordinate of the pixel position to lookup.
            y: The y coordinate of the pixel position to lookup.
            variable_list: The variables to lookup specified by their name.

        Returns:
            A list of the values found or None if nothing is found.
        """
        self.__check_thisptr()
        for area in self:
            found = area.lookup_variables(x, y, variable_list)
            if found is not None:
                return found
        return None


cdef _set_listed_values(object view, object index, object run, uint64_t listed):
    """Calls view.set_values(index, run); a ZelData view that holds its area writes only
    while it still does and the area holds the variable list stamped listed, the one
    index was found in."""
    cdef ZelData pinned = view if isinstance(view, ZelData) and (<ZelData>view)._has_area() else None
    cdef uint64_t outer = 0
    if pinned is not None:
        outer, pinned._expected_list = pinned._expected_list, listed
    try:
        view.set_values(index, run)
    finally:
        if pinned is not None:
            pinned._expected_list = outer


cdef list _split_hdf5_entry(object name):
    """The HDF5 file and the key of an entry name "file.h5:out:key"; None otherwise."""
    parts = name.split(":out:")
    if len(parts) == 2 and parts[0].endswith(".h5"):
        return parts
    return None


cdef object _open_hdf5(str path, str mode):
    """The h5py file at path; any failure to open it is reported as OSError."""
    _checked_file_name(path)
    try:
        return h5py.File(path, mode)
    except Exception:
        raise OSError(f"Cannot open {path}.")


cdef bytes _read_hdf5_entry(str path, str key):
    """The data-set file image stored under out/key in the HDF5 file at path."""
    h5 = _open_hdf5(path, "r")
    try:
        if "out" not in list(h5.keys()):
            raise ValueError(path + " does not contain an 'out' group.")
        group = h5.get("out")
        if key not in list(group.keys()):
            raise ValueError(path + " does not contain 'out:" + key + "' dataset.")
        entry = group.get(key)
        if isinstance(entry, h5py.Dataset) and entry.dtype.hasobject and entry.shape:
            # Variable-length items read as references to their contents, whose bytes
            # never form an image; all of them may reference one large heap object.
            raise ValueError(_UNDECODABLE)
        if not isinstance(entry, h5py.Dataset) or entry.shape is None or entry.dtype.hasobject:
            # A group, an empty entry or a single variable-length item: such values are
            # all in the file, so the entry cannot declare more than the file holds.
            return entry[()].tobytes()
        return _read_entry_image(entry)
    finally:
        h5.close()


# How much of an entry is read and checked before the whole: the header with image
# names of up to 16,000 characters each.
cdef Py_ssize_t _HEADER_PROBE = 1 << 16


cdef bytes _read_entry_image(object entry):
    """The bytes of an HDF5 array entry, as a data-set file image.

    An entry declares its size whatever it holds (a few kilobytes of compressed
    zeros may declare gigabytes), so the first bytes of a larger entry are read and
    checked first, then the whole entry straight into the bytes returned.
    """
    cdef Py_ssize_t itemsize = entry.dtype.itemsize
    cdef object size = entry.size * itemsize
    if size > INT_MAX:
        raise ValueError(_UNDECODABLE)
    first = _leading_selection(entry.shape, max(1, _HEADER_PROBE // max(itemsize, 1)))
    # An entry of a single item, or of no more than the probe, is read whole at once.
    if first != ():
        head = entry[first].tobytes()
        if not orvex.ZelDataSet.headPlausible(head, len(head), size, False):
            raise ValueError(_UNDECODABLE)
    image = PyBytes_FromStringAndSize(NULL, size)
    # Read as h5py reads a whole entry, in its own type, which an array type's items
    # need: numpy holds them only as their base type with the item shape appended.
    entry.id.read(h5py.h5s.ALL, h5py.h5s.ALL, _writable_array(image, entry.dtype, entry.shape),
                  mtype=h5py.h5t.py_create(entry.dtype))
    return image


cdef tuple _leading_selection(tuple shape, Py_ssize_t count):
    """A selection of the first count items of an array in C order, and fewer than
    twice as many; the whole array when it holds no more."""
    cdef Py_ssize_t trailing = 1
    cdef Py_ssize_t axis
    for axis in range(len(shape) - 1, -1, -1):
        if shape[axis] * trailing > count:
            return (0,) * axis + (slice(0, (count + trailing - 1) // trailing),)
        trailing *= shape[axis]
    return ()


cdef cnp.ndarray _writable_array(bytes image, object dtype, tuple shape):
    """An array of items of dtype in shape over the bytes of image, which is new and not
    yet shared; items of an array type as their base type, the item shape appended."""
    cdef cnp.npy_intp length = len(image)
    cdef cnp.ndarray flat = cnp.PyArray_SimpleNewFromData(1, &length, cnp.NPY_UINT8, PyBytes_AS_STRING(image))
    cnp.set_array_base(flat, image)
    return flat.view(dtype.base).reshape(shape + dtype.shape)


cdef _write_hdf5_entry(str path, str key, bytes image):
    """Stores a data-set file image as out/key in the HDF5 file at path, replacing it.

    The new bytes are written under a temporary name in the group first and moved
    into place only then, so a failed write leaves the old entry as it was.
    """
    data = np.frombuffer(image, dtype=np.uint8)
    h5 = _open_hdf5(path, "a")
    try:
        group = h5.get("out") if "out" in list(h5.keys()) else h5.create_group("out")
        members = list(group.keys())
        if key not in members:
            group.create_dataset(key, data=data)
            return
        temporary = _unused_member_name(members, key)
        try:
            group.create_dataset(temporary, data=data)
            h5.flush()
        except BaseException:
            try:
                if temporary in group:
                    del group[temporary]
            except Exception:
                pass  # the write's own error is the one to report
            raise
        del group[key]
        group.move(temporary, key)
    finally:
        h5.close()


cdef str _unused_member_name(list members, str key):
    """A member name beside key that the group does not hold yet."""
    cdef int n = 0
    while f"{key}.saving-{n}" in members:
        n += 1
    return f"{key}.saving-{n}"
