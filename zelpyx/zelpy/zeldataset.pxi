# ZelDataSet: the areas of one measurement step, their image names and metadata,
# loaded from and saved to data-set files and HDF5 entries.

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

    def __check_thisptr(self):
        if self.thisptr == NULL:
            raise ValueError(_missing_object_message(self))

    def __is_hdf5(self, file_name):
        parts = file_name.split(":out:")
        if len(parts) == 2 and parts[0].endswith(".h5"):
            return parts
        return None

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
        cdef const char* image = buffer
        cdef Py_ssize_t size = len(buffer)
        cdef unique_ptr[orvex.ZelDataSet] loaded = unique_ptr[orvex.ZelDataSet](new orvex.ZelDataSet())
        # Images are below 2 GiB: the decoder counts bytes in an int.
        if size > INT_MAX or not loaded.get().decode(image, <int>size, False):
            raise ValueError("Unable to decode memory buffer")
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
        entry = self.__is_hdf5(_checked_file_name(file_name))
        if entry is not None:
            _write_hdf5_entry(entry[0], entry[1], self.export_raw())
        elif not self.thisptr.save(file_name.encode("utf-8")):
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
        cdef list names = _check_variable_names(variables)
        cdef vector[orvex.ZelData*] areas
        for i in range(self.thisptr.numData()):
            areas.push_back(self.thisptr.data(i))
        return _gather_values(areas, names)

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
        cdef int areas = self.thisptr.numData()
        cdef orvex.ZelData* area
        cdef Py_ssize_t offset, size
        cdef int index
        for name in names:
            column = variables[name]
            offset = 0
            for i in range(areas):
                area = self.thisptr.data(i)
                index = _find_variable(area, name)
                size = area.matrixSize()
                _write_values(area, index, _as_floats(column[offset:offset + size]))
                offset += size

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
        cdef orvex.ZelData* area
        cdef int index
        cdef Py_ssize_t offset = 0
        cdef Py_ssize_t size, run
        cdef str added = ""
        for i in range(self.thisptr.numData()):
            area = self.thisptr.data(i)
            index = area.addVariable(variable_type.value, variable_name.encode("utf-8"),
                                     variable_description.encode("utf-8"))
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
            compute_principal_strain: Also compute the principal strains e1, e2 and their angle gamma.
            reuse_variables: Overwrite strain variables of earlier computations instead of adding new ones.
            compute_tresca: Also compute the Tresca strain.
            compute_von_mises: Also compute the von Mises strain.
            output_gradient: Also output the deformation gradient fxx, fxy, fyx and fyy.
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

    def clear_search_trees(self) -> None:
        """Clears the search trees used in at_global_xy. Call this method if you
        edited any data in this ZelDataSet"""
        self.__check_thisptr()
        for area in self:
            area.clear_search_trees()


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
        return group.get(key)[()].tobytes()
    finally:
        h5.close()


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
