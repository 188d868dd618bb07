"""The step-response plot of ``processsim.plot_model_stp``: a matrix of small
axes, one row per CV and one column per MV."""


def plot_step_responses(responses, cvs, mvs):
    """Plots ``responses[cv][mv]`` (a list per pair, empty when flat) against
    the sample index and shows the figure."""
    # Imported here: the package works without the plotting library.
    import matplotlib.pyplot as plt
    from matplotlib import gridspec

    # A font with Chinese characters, so that such tags are readable; it has
    # only the plain hyphen for minus signs.
    plt.rcParams["font.sans-serif"] = ["SimHei"]
    plt.rcParams["axes.unicode_minus"] = False
    figure = plt.figure(figsize=(5 * len(mvs), 5 * len(cvs)), facecolor="w", tight_layout=True)
    grid = gridspec.GridSpec(len(cvs), len(mvs))
    counter = 0
    for cv in cvs:
        for mv in mvs:
            response = responses[cv][mv]
            axes = figure.add_subplot(grid[counter])
            axes.plot(range(len(response)), response)
            axes.set_title(f"{cv}-{mv}", fontsize=11)
            axes.grid(True)
            empty = len(response) == 0
            axes.tick_params(axis="both", labelsize=0 if empty else 15)
            if empty:  # no visible tick labels for a flat response
                axes.tick_params(labelbottom=False, labelleft=False)
            counter += 1
    plt.show()
