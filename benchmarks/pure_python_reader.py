"""The reader a user writes with nothing but the standard library: struct.unpack on an open
file, one record at a time, into dicts of namedtuples; plus a dict-of-dicts overlap count.
This is the baseline the benchmarks compare tolv against."""
import struct
from collections import namedtuple

# model code -> (name, number of parameters)
CAMERA_MODELS = {
    0: ("SIMPLE_PINHOLE", 3),
    1: ("PINHOLE", 4),
    2: ("SIMPLE_RADIAL", 4),
    3: ("RADIAL", 5),
    4: ("OPENCV", 8),
    5: ("OPENCV_FISHEYE", 8),
    6: ("FULL_OPENCV", 12),
    7: ("FOV", 5),
    8: ("SIMPLE_RADIAL_FISHEYE", 4),
    9: ("RADIAL_FISHEYE", 5),
    10: ("THIN_PRISM_FISHEYE", 12),
}

Camera = namedtuple("Camera", ["id", "model", "width", "height", "params"])
Point3D = namedtuple("Point3D", ["id", "xyz", "rgb", "error", "image_ids", "point2D_idxs"])


class Image(namedtuple("Image", ["id", "qvec", "tvec", "camera_id", "name", "xys", "point3D_ids"])):
    __slots__ = ()

    @property
    def rot(self):
        """World-to-camera rotation matrix of the stored quaternion (w, x, y, z)."""
        w, x, y, z = self.qvec
        return [
            [1 - 2 * y * y - 2 * z * z, 2 * x * y - 2 * w * z, 2 * z * x + 2 * w * y],
            [2 * x * y + 2 * w * z, 1 - 2 * x * x - 2 * z * z, 2 * y * z - 2 * w * x],
            [2 * z * x - 2 * w * y, 2 * y * z + 2 * w * x, 1 - 2 * x * x - 2 * y * y],
        ]


def read_struct(f, fmt):
    """Reads exactly the bytes of one little-endian struct format and unpacks them."""
    fmt = "<" + fmt
    return struct.unpack(fmt, f.read(struct.calcsize(fmt)))


def read_cameras(path):
    cameras = {}
    with open(path, "rb") as f:
        (count,) = read_struct(f, "Q")
        for _ in range(count):
            camera_id, model, width, height = read_struct(f, "iiQQ")
            num_params = CAMERA_MODELS[model][1]
            params = read_struct(f, "d" * num_params)
            cameras[camera_id] = Camera(camera_id, CAMERA_MODELS[model][0], width, height, list(params))
    return cameras


def read_images(path):
    images = {}
    with open(path, "rb") as f:
        (count,) = read_struct(f, "Q")
        for _ in range(count):
            props = read_struct(f, "idddddddi")
            image_id = props[0]
            qvec = props[1:5]
            tvec = props[5:8]
            camera_id = props[8]
            name = b""
            char = f.read(1)
            while char != b"\x00":
                name += char
                char = f.read(1)
            (num_points2D,) = read_struct(f, "Q")
            values = read_struct(f, "ddQ" * num_points2D)
            xys = list(zip(values[0::3], values[1::3]))
            point3D_ids = list(values[2::3])
            images[image_id] = Image(image_id, qvec, tvec, camera_id, name.decode("latin-1"), xys, point3D_ids)
    return images


def read_points3D(path):
    points3D = {}
    with open(path, "rb") as f:
        (count,) = read_struct(f, "Q")
        for _ in range(count):
            props = read_struct(f, "QdddBBBd")
            point3D_id = props[0]
            xyz = props[1:4]
            rgb = props[4:7]
            error = props[7]
            (track_length,) = read_struct(f, "Q")
            track = read_struct(f, "II" * track_length)
            points3D[point3D_id] = Point3D(point3D_id, xyz, rgb, error, track[0::2], track[1::2])
    return points3D


def read_model(folder):
    return (
        read_cameras(folder + "/cameras.bin"),
        read_images(folder + "/images.bin"),
        read_points3D(folder + "/points3D.bin"),
    )


def count_overlaps(points3D):
    """Co-visibility counts of image pairs from the points' tracks: with c_x(p) the number
    of elements of p's track in image x, result[a][b] = sum over p of c_a(p) * c_b(p) for
    a != b, result[a][a] = sum of c_a(p) * (c_a(p) + 1), zero counts left out."""
    overlaps = {}
    for point in points3D.values():
        per_image = {}
        for image_id in point.image_ids:
            per_image[image_id] = per_image.get(image_id, 0) + 1
        for a, count_a in per_image.items():
            row = overlaps.get(a)
            if row is None:
                row = overlaps[a] = {}
            for b, count_b in per_image.items():
                add = count_a * (count_a + 1) if a == b else count_a * count_b
                row[b] = row.get(b, 0) + add
    return overlaps
