# Data-set sources and outputs: listing and loading the data sets of a directory,
# HDF5 file, project or glob pattern, and writing them under names derived from
# their own.

# Extensions of the files that a reader's source may name.
cdef tuple _SOURCE_EXTENSIONS = (".q3d", ".q2d", ".h5", ".out")

# A data-set name: the base name, a "-" or "_", the step index, "_" and one digit.
cdef str _INDEXED_NAME = r"^([\S]+)[\-_]([0-9]+)_([0-9])"


cdef list _sorted_intersection(set wanted, list listed):
    names = list(wanted.intersection(listed))
    names.sort()
    return names


# Marks a name that the module namespace does not hold.
cdef object _UNBOUND = object()


cdef object _module_global(str name):
    """The module attribute name, looked up when the caller runs, as the plain classes
    look up every module global: a replaced attribute is used, a deleted one raises
    NameError. The compiler binds the names of the extension types to the types
    themselves; their lookups go through here."""
    cdef dict namespace = globals()
    value = namespace.get(name, _UNBOUND)
    if value is _UNBOUND:
        raise NameError(f"name '{name}' is not defined")
    return value


cdef _load_single_source(reader, str path):
    """Lists the data sets of the one source a reader was given: by kind of path."""
    if os.path.isdir(path):
        reader.load_from_directory(path)
        return
    extension = os.path.splitext(path)[1]
    if extension in (".q3d", ".q2d"):
        reader.load_from_project(path)
    elif extension == ".h5":
        reader.load_from_hdf5(path)
    elif extension == ".out":
        reader.dataset_list.append(path)
    else:
        raise NameError("Unknown file type: " + path)


class ZelDataSetReader:
    """Holds a set of ZelDataSet from a source.

    Supported sources are directories with out files, HDF5 files, project files and glob
    patterns. For a project file, the source becomes the directory or HDF5 file holding
    its data. The class is iterable over all the datasets in the source.
    """
    out_directory: str | None
    h5_file_path: str | None
    dataset_list: list[str]

    def __init__(self, source):
        """Initializes the instance from a supported source.

        Args:
            source: A directory, an HDF5 file, a project file, an out file, a glob pattern,
                or a list or tuple of these.
        """
        self._reset()
        if isinstance(source, str):
            source = [source]
        entries = []
        for item in source:
            if isinstance(item, str):
                _checked_file_name(item)
            if os.path.isfile(item):
                if os.path.splitext(item)[1] in _SOURCE_EXTENSIONS:
                    entries.append(item)
            elif os.path.isdir(item):
                entries.append(item)
            else:
                entries.extend([match for match in glob.glob(item)
                                if os.path.splitext(match)[1] in _SOURCE_EXTENSIONS])
        if len(entries) == 1:
            _load_single_source(self, os.path.abspath(entries[0]))
        elif entries:
            self.out_directory = os.path.dirname(entries[0])
            self.dataset_list = entries
            self.dataset_list.sort()
        else:
            self._reset()
            raise ValueError("Cannot find any valid files")

    def __getitem__(self, idx: int) -> ZelDataSet:
        if idx >= len(self.dataset_list):
            raise IndexError()
        return self.dataset(self.dataset_list[idx])

    def _reset(self):
        self.out_directory = None
        self.h5_file_path = None
        self.dataset_list = []

    def get_data_source(self) -> str | None:
        """Returns the dataset source.

        The HDF5 file or the directory of the datasets, or the one data file when the
        source is a single file; None otherwise.
        """
        if self.h5_file_path:
            return self.h5_file_path
        if self.out_directory:
            return self.out_directory
        if len(self.dataset_list) == 1:
            return self.dataset_list[0]
        return None

    def get_dataset_list(self) -> list:
        """Returns the list of all dataset in the source."""
        return self.dataset_list

    def load_from_hdf5(self, h5_file_name: str) -> None:
        """Loads all available dataset in an HDF5 file.

        Args:
            h5_file_name: The HDF5 file whose group 'out' holds the datasets.
        """
        self._reset()
        _checked_file_name(h5_file_name)
        try:
            h5 = h5py.File(h5_file_name, "r")
        except Exception:
            self._reset()
            raise NameError("Cannot open " + h5_file_name + ".")
        try:
            if "out" not in list(h5.keys()):
                self._reset()
                raise ValueError(h5_file_name + " does not contain an 'out' group.")
            self.h5_file_path = os.path.abspath(h5_file_name)
            for key in h5.get("out").keys():
                self.dataset_list.append(self.h5_file_path + ":out:" + key)
            self.dataset_list.sort()
        finally:
            h5.close()

    def load_from_directory(self, directory: str) -> None:
        """Loads all available dataset in a directory.

        Args:
            directory: The directory whose .out files are listed.
        """
        self._reset()
        _checked_file_name(directory)
        if not os.path.exists(directory):
            self._reset()
            raise NameError("Cannot find path '" + directory + "'.")
        self.out_directory = os.path.abspath(directory)
        # os.path.join of the directory and each listed name, joined once.
        prefix = os.path.join(self.out_directory, "")
        self.dataset_list.extend([prefix + name for name in os.listdir(self.out_directory)
                                  if name.endswith(".out")])
        self.dataset_list.sort()

    def load_from_project(self, project: str) -> None:
        """Loads all available dataset in a project.

        The datasets are the project's data files found in the project's directory or in
        the HDF5 file that the project names.

        Args:
            project: The project file.
        """
        self._reset()
        _checked_file_name(project)
        try:
            # Looked up when called, like every module global of the plain classes.
            project_file = ProjectFile(project)
            project = os.path.abspath(project)
            data_files = project_file.get_data_files()
        except Exception:
            raise ValueError("Could not process " + project)
        if not data_files:
            return
        directory = os.path.dirname(project)
        if ".h5:out:" in data_files[0]:
            position = data_files[0].find(":out:")
            h5_path = os.path.abspath(os.path.join(directory, data_files[0][:position]))
            wanted = {h5_path + entry[position:] for entry in data_files}
            self.load_from_hdf5(h5_path)
        else:
            wanted = {os.path.join(directory, entry) for entry in data_files}
            self.load_from_directory(directory)
        self.dataset_list = _sorted_intersection(wanted, self.dataset_list)

    def dataset(self, dataset_name: str) -> ZelDataSet:
        """Returns the ZelDataSet with the specified name.

        Args:
            dataset_name: A name of the list that get_dataset_list returns.
        """
        if dataset_name not in self.dataset_list:
            raise ValueError(dataset_name + " not in dataset")
        _checked_file_name(dataset_name)
        data_set = _module_global("ZelDataSet")()
        data_set.load(dataset_name)
        return data_set


class ZelDataSetWriter:
    """Writes ZelDataSet to a specified output.

    The output directory or HDF5 file set here applies to every ZelDataSet saved
    through this class.
    """
    output_dest: str | None
    output_prefix: str | None
    dest_is_h5: bool = False

    def __init__(self, reader=None, output_dest: str | None = None, output_prefix: str | None = None):
        """Initializes the instance to a supported output.

        Args:
            reader: A ZelDataSetReader whose source becomes the output; output_dest is then ignored.
            output_dest: An output directory or HDF5 file.
            output_prefix: A prefix for the names of the saved datasets.
        """
        self._reset()
        if reader:
            self.set_reader(reader)
        elif output_dest:
            self.set_output(output_dest)
        self.set_output_prefix(output_prefix)

    def __is_hdf5(self, file_name: str):
        return _split_hdf5_entry(file_name)

    def __update_h5_destination(self):
        if self.dest_is_h5 and self.output_prefix is not None and self.output_dest is not None:
            self.output_dest = os.path.join(os.path.dirname(self.output_dest),
                                            f"{self.output_prefix}_{os.path.basename(self.output_dest)}")

    def _reset(self) -> None:
        """Resets the state of the writer"""
        self.output_dest = None
        self.output_prefix = None
        self.dest_is_h5 = False

    def set_reader(self, reader) -> None:
        """Sets a ZelDataSetReader.

        The ZelDataSetWriter will overwrite the data in the reader.
        """
        if reader.out_directory:
            self.output_dest = reader.out_directory
            self.dest_is_h5 = False
        elif reader.h5_file_path:
            self.output_dest = reader.h5_file_path
            self.dest_is_h5 = True
            self.__update_h5_destination()
        else:
            raise AttributeError("ZelDatasetReader needs to be initialized")

    def set_output(self, output_dest: str) -> None:
        """Sets the output destination.

        Args:
            output_dest: An existing directory, or an HDF5 file (.h5) that is created when
                the first dataset is saved.
        """
        _checked_file_name(output_dest)
        if os.path.isdir(output_dest):
            self.output_dest = os.path.abspath(output_dest)
            self.dest_is_h5 = False
        elif os.path.splitext(output_dest)[1] == ".h5":
            self.output_dest = os.path.abspath(output_dest)
            self.dest_is_h5 = True
            self.__update_h5_destination()
        else:
            raise AttributeError("Only HDF5 files and directories can be used as output destination")

    def set_output_prefix(self, output_prefix: str | None) -> None:
        """Sets a string to be used as prefix when saving data

        For an HDF5 destination the prefix goes in front of the HDF5 file's name at once;
        for a directory, in front of each saved file's name.
        """
        self.output_prefix = output_prefix
        self.__update_h5_destination()

    def save(self, data: ZelDataSet) -> str:
        """Saves a ZelDataSet

        The output name is derived from the dataset's file name (base-index_0.out, or the
        entry 'index' of an HDF5 destination).

        Returns:
            The name under which the dataset was saved.
        """
        source_name = data.file_name()
        if source_name is None:
            raise NameError("A filename is required")
        if self.output_dest is None:
            raise NameError("An output destination should have been set by now")
        base = index = None
        entry = self.__is_hdf5(source_name)
        if entry is not None:
            base = os.path.basename(os.path.splitext(entry[0])[0])
            index = entry[1]
        else:
            matches = re.findall(_INDEXED_NAME, source_name)
            if len(matches) == 1 and len(matches[0]) == 3:
                base = os.path.basename(matches[0][0])
                index = matches[0][1]
        if index is None or base is None:
            raise NameError("Could not get index from name")
        if self.dest_is_h5:
            output_name = self.output_dest + ":out:" + index
        else:
            file_name = f"{base}-{index}_0.out"
            if self.output_prefix is not None:
                file_name = f"{self.output_prefix}_{file_name}"
            output_name = os.path.join(self.output_dest, file_name)
        _checked_file_name(output_name)
        try:
            data.save(output_name)
        except Exception:
            raise OSError("Unable to save file: " + output_name)
        return output_name


class ZelDataSetIO:
    """Holds a pair of a ZelDataSetReader and a ZelDataSetWriter.

    By default, the writer overwrites the data in the reader's source.
    """
    dataset_reader: ZelDataSetReader
    dataset_writer: ZelDataSetWriter

    def __init__(self, source):
        """Initializes the instance from a supported source.

        Args:
            source: Any source that ZelDataSetReader accepts.
        """
        self.dataset_reader = ZelDataSetReader(source)
        self.dataset_writer = ZelDataSetWriter(reader=self.dataset_reader)

    def __getitem__(self, idx: int) -> ZelDataSet:
        if idx >= len(self.dataset_reader.get_dataset_list()):
            raise IndexError()
        return self.dataset_reader.dataset(self.dataset_reader.get_dataset_list()[idx])

    def _reset(self) -> None:
        """Resets the state of the reader and writer."""
        self.dataset_reader._reset()
        self.dataset_writer._reset()

    def set_reader(self, reader):
        self.dataset_reader = reader
        self.dataset_writer = ZelDataSetWriter(reader=reader)

    def get_data_source(self) -> str | None:
        """Returns the data source."""
        return self.dataset_reader.get_data_source()

    def get_dataset_list(self) -> list:
        """Returns the list of all dataset in the source."""
        return self.dataset_reader.get_dataset_list()

    def load_from_hdf5(self, h5_file_name: str) -> None:
        """Loads all available dataset in an HDF5 file."""
        self.dataset_reader.load_from_hdf5(h5_file_name)

    def load_from_directory(self, directory: str) -> None:
        """Loads all available dataset in a directory."""
        self.dataset_reader.load_from_directory(directory)

    def load_from_project(self, project: str) -> None:
        """Loads all available dataset in a project."""
        self.dataset_reader.load_from_project(project)

    def dataset(self, dataset_id: str) -> ZelDataSet:
        """Returns the ZelDataSet with the specified name."""
        return self.dataset_reader.dataset(dataset_id)

    def set_output(self, output_dest: str) -> None:
        """Sets the output destination."""
        self.dataset_writer.set_output(output_dest)

    def set_output_prefix(self, output_prefix: str) -> None:
        """Sets a string to be used as prefix when saving data"""
        self.dataset_writer.set_output_prefix(output_prefix)

    def save(self, data: ZelDataSet) -> str | None:
        """Saves a ZelDataSet"""
        return self.dataset_writer.save(data)
