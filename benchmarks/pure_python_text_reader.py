"""The text-model reader a user writes with nothing but the standard library: each file
read line by line, split on white space, every number converted with int() or float(),
into dicts of the namedtuples of pure_python_reader. The baseline the text rows of
benchmarks/read_model.py compare against."""
from pure_python_reader import Camera, Image, Point3D


def data_lines(f):
    """The lines of an open text file that are not comments, newline removed."""
    for line in f:
        if not line.startswith("#"):
            yield line.rstrip("\n")


def read_cameras_text(path):
    cameras = {}
    with open(path, encoding="utf-8") as f:
        for line in data_lines(f):
            fields = line.split()
            if not fields:
                continue
            camera_id = int(fields[0])
            cameras[camera_id] = Camera(camera_id, fields[1], int(fields[2]), int(fields[3]),
                                        [float(v) for v in fields[4:]])
    return cameras


def read_images_text(path):
    """Two lines per image: its pose, camera and name, then its 2D points as x y id; an
    id of -1 means no 3D point."""
    images = {}
    with open(path, encoding="utf-8") as f:
        lines = data_lines(f)
        for header in lines:
            if not header.strip():
                continue
            fields = header.split(" ", 9)
            image_id = int(fields[0])
            qvec = tuple(float(v) for v in fields[1:5])
            tvec = tuple(float(v) for v in fields[5:8])
            camera_id = int(fields[8])
            name = fields[9]
            points = next(lines).split()
            xys = list(zip(map(float, points[0::3]), map(float, points[1::3])))
            point3D_ids = [int(v) for v in points[2::3]]
            images[image_id] = Image(image_id, qvec, tvec, camera_id, name, xys, point3D_ids)
    return images


def read_points3D_text(path):
    points3D = {}
    with open(path, encoding="utf-8") as f:
        for line in data_lines(f):
            fields = line.split()
            if not fields:
                continue
            point3D_id = int(fields[0])
            xyz = tuple(float(v) for v in fields[1:4])
            rgb = tuple(int(v) for v in fields[4:7])
            error = float(fields[7])
            track = [int(v) for v in fields[8:]]
            points3D[point3D_id] = Point3D(point3D_id, xyz, rgb, error, track[0::2], track[1::2])
    return points3D


def read_model_text(folder):
    return (
        read_cameras_text(folder + "/cameras.txt"),
        read_images_text(folder + "/images.txt"),
        read_points3D_text(folder + "/points3D.txt"),
    )
