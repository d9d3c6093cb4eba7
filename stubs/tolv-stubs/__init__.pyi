"""Reader for COLMAP binary sparse reconstructions, with image co-visibility counts.

The readers take the files ``cameras.bin``, ``images.bin`` and ``points3D.bin``
of a reconstruction folder and return plain ``dict``s from identifier to record.
Identifiers are non-negative ``int``s: camera and image ids are unsigned 32-bit,
point ids unsigned 64-bit. The key order of every returned ``dict`` is
unspecified and changes from call to call; compare results as mappings.

Records (``Camera``, ``Image``, ``Point3D`` and ``Color``) are read-only and
cannot be constructed or subclassed from Python: calling a class raises
``TypeError("No constructor defined")``. Every attribute access builds new
objects, so changing a returned list never changes the record. Records compare
by identity.

Progress lines ("Found N cameras", "N registered images.", "N 3D points.",
"Making sets...", "Done!") are written straight to file descriptor 1, not
through ``sys.stdout``, so redirecting ``sys.stdout`` does not capture them.

Exceptions:

* ``OSError`` or one of its subclasses when a file cannot be opened or read.
  The exception carries one argument, a text such as
  "No such file or directory (os error 2)"; ``errno``, ``strerror`` and
  ``filename`` are None. ``ENOENT`` gives ``FileNotFoundError``,
  ``EACCES``/``EPERM`` give ``PermissionError``; a directory, ``ENOTDIR``,
  ``ELOOP`` and ``ENAMETOOLONG`` give plain ``OSError``.
* ``TypeError`` for a wrong call or argument type, e.g.
  "argument 'path': 'bytes' object cannot be converted to 'PyString'".
  A ``str`` path without a UTF-8 form raises ``UnicodeEncodeError``.
* ``PanicException`` for malformed file data (a truncated file, an unknown
  camera model) and other unrecoverable conditions; ``str(e)`` is the message.
  It derives from ``BaseException``, not ``Exception``, so
  ``except Exception:`` does not catch it, and it is not an attribute of this
  module: catch ``BaseException`` and test ``type(e).__name__``.
"""

from typing import final, type_check_only

__all__ = [
    "Camera",
    "Image",
    "Point3D",
    "read_images_bin",
    "read_cameras_bin",
    "read_points3D_bin",
    "compute_overlaps",
    "read_reconstruction_bin",
]

@final
class Camera:
    """Intrinsics of one camera, as stored in ``cameras.bin``."""

    @property
    def camera_id(self) -> int:
        """Camera identifier (unsigned 32-bit)."""
    @property
    def model_id(self) -> str:
        """Display name of the camera model, e.g. "Pinhole", "Simple Radial Fisheye".

        The numeric model code is not exposed.
        """
    @property
    def width(self) -> int:
        """Image width in pixels (unsigned 64-bit, unchecked)."""
    @property
    def height(self) -> int:
        """Image height in pixels (unsigned 64-bit, unchecked)."""
    @property
    def params(self) -> list[float]:
        """Model parameters in file order (pixels for focal lengths and principal point).

        Simple Pinhole: [f, cx, cy]; Pinhole: [fx, fy, cx, cy]; other models
        follow COLMAP's parameter order for that model.
        """
    def K(self) -> list[list[float]]:
        """The 3x3 intrinsic matrix as three row lists, [[fx, 0, cx], [0, fy, cy], [0, 0, 1]].

        Only the Simple Pinhole (fx = fy = f) and Pinhole models have one; any
        other model raises ``PanicException("Not implemented")``.
        """

@final
class Image:
    """One registered image: its camera, file name, pose and 2D observations.

    The pose maps world coordinates into this image's camera coordinates,
    ``x_cam = R @ X_world + t`` with ``R = rot`` and ``t = trans`` (COLMAP's
    world-to-camera convention); the camera centre in the world is
    ``-R.T @ t``. The rotation is stored as a quaternion in the order
    (w, x, y, z), as in the file, and is not normalised.
    """

    @property
    def image_id(self) -> int:
        """Image identifier (unsigned 32-bit)."""
    @property
    def camera_id(self) -> int:
        """Identifier of the camera that took the image; not checked against ``cameras.bin``."""
    @property
    def name(self) -> str:
        """The image's file name, one character per stored byte (latin-1).

        ``name.encode("latin-1")`` gives the original bytes; a name stored as
        UTF-8 reads back as ``name.encode("latin-1").decode("utf-8")``.
        """
    @property
    def point3D_ids(self) -> list[int]:
        """For each 2D observation, in file order, the id of its 3D point.

        The value 2**64 - 1 (18446744073709551615) means the observation has
        no 3D point. A ``Point3D`` track's ``point2D_idx`` indexes this list.
        """
    @property
    def rot(self) -> list[list[float]]:
        """World-to-camera rotation matrix R as three row lists.

        Computed from the stored quaternion (w, x, y, z) without normalising it,
        so a quaternion whose length is not 1 gives a matrix that is not
        orthonormal.
        """
    @property
    def trans(self) -> list[float]:
        """World-to-camera translation t = [tx, ty, tz], in the reconstruction's units."""
    def relative_pose_from(self, other: Image) -> tuple[list[list[float]], list[float]]:
        """The pose of ``other``'s camera frame in this image's camera frame.

        Returns ``(R, t)`` with ``R = R_self @ R_other.T`` (three row lists)
        and ``t = t_self - R @ t_other``, so a point ``p`` in ``other``'s camera
        coordinates is at ``R @ p + t`` in this image's camera coordinates.
        Both quaternions are normalised first; an all-zero quaternion gives NaNs.
        """
    def relative_pose_to(self, other: Image) -> tuple[list[list[float]], list[float]]:
        """The pose of this image's camera frame in ``other``'s camera frame.

        ``a.relative_pose_to(b)`` equals ``b.relative_pose_from(a)``.
        """

@type_check_only
@final
class Color:
    """RGB colour of a 3D point, each component 0 to 255.

    Only ``Point3D.color`` produces these objects. The class is not an
    attribute of ``tolv`` at run time: use the name in annotations only
    (quoted, or under ``from __future__ import annotations``), and
    ``type(point.color)`` where a class object is needed.
    """

    @property
    def r(self) -> int:
        """Red component, 0 to 255."""
    @property
    def g(self) -> int:
        """Green component, 0 to 255."""
    @property
    def b(self) -> int:
        """Blue component, 0 to 255."""

@final
class Point3D:
    """One reconstructed 3D point, as stored in ``points3D.bin``."""

    @property
    def id(self) -> int:
        """Point identifier (unsigned 64-bit)."""
    @property
    def xyz(self) -> list[float]:
        """Position [x, y, z] in world coordinates."""
    @property
    def color(self) -> Color:
        """The point's colour; each access returns a new ``Color`` object."""
    @property
    def error(self) -> float:
        """Reprojection error in pixels, as stored."""
    @property
    def track(self) -> list[tuple[int, int]]:
        """The observations of the point as ``(image_id, point2D_idx)`` pairs, in file order.

        ``point2D_idx`` indexes the observing image's ``point3D_ids``. The track
        may be empty and may name an image more than once.
        """

def read_cameras_bin(path: str) -> dict[int, Camera]:
    """Read a ``cameras.bin`` file into a dict from camera id to ``Camera``.

    A later record with an id already read replaces the earlier one. Raises
    ``OSError`` (or a subclass) when the file cannot be read and
    ``PanicException`` when its data is malformed.
    """

def read_images_bin(path: str) -> dict[int, Image]:
    """Read an ``images.bin`` file into a dict from image id to ``Image``.

    A later record with an id already read replaces the earlier one. Raises
    ``OSError`` (or a subclass) when the file cannot be read and
    ``PanicException`` when its data is malformed.
    """

def read_points3D_bin(path: str) -> dict[int, Point3D]:
    """Read a ``points3D.bin`` file into a dict from point id to ``Point3D``.

    A later record with an id already read replaces the earlier one. Raises
    ``OSError`` (or a subclass) when the file cannot be read and
    ``PanicException`` when its data is malformed.
    """

def read_reconstruction_bin(
    path: str,
) -> tuple[dict[int, Camera], dict[int, Image], dict[int, Point3D]]:
    """Read ``cameras.bin``, ``images.bin`` and ``points3D.bin`` of the folder ``path``.

    Returns ``(cameras, images, points3D)``, each as the matching single-file
    reader returns it. The first file that cannot be read ends the call with
    its ``OSError``; the error text does not name the file.
    """

def compute_overlaps(points3D: dict[int, Point3D]) -> dict[int, dict[int, int]]:
    """Count, from the points' tracks, how many 3D points each pair of images shares.

    ``points3D`` is a dict of ``Point3D`` as ``read_points3D_bin`` returns it
    (keys must be ints from 0 to 2**64 - 1; only the tracks are read). The
    result maps each image id that occurs in a track to a dict from image id to
    count, and is symmetric. For tracks that name each image at most once,
    ``result[a][b]`` (a != b) is the number of points images a and b both
    observe, and the diagonal ``result[a][a]`` is twice the number of points
    image a observes. In general, with c_x(p) the number of track entries of
    point p in image x: ``result[a][b] = sum(c_a(p) * c_b(p))`` and
    ``result[a][a] = sum(c_a(p) * (c_a(p) + 1))``. Pairs with no shared point
    have no entry (no zero counts).

    Raises ``TypeError`` when ``points3D`` is not a dict or holds a value that
    is not a ``Point3D``, and ``OverflowError`` for a key outside 0 to 2**64 - 1.
    """
